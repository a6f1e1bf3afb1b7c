#pragma once
// Answers the window's message boxes and file dialogs without a person and
// records what was shown.

#include <QString>
#include <QStringList>
#include <deque>
#include <optional>

#include "ui/UserDialogs.h"

class ScriptedDialogs : public UserDialogs {
public:
    void Information(const QString &text) override { shown << QStringLiteral("info: ") + text; }
    void Error(const QString &text) override { shown << QStringLiteral("error: ") + text; }
    std::optional<QString> SaveFileName(const QString &caption, const QString &, const QString &initialName,
                                        const QString &) override
    {
        shown << QStringLiteral("save: ") + caption + QStringLiteral(" [") + initialName + QStringLiteral("]");
        return Next(saveAnswers);
    }
    std::optional<QString> OpenFileName(const QString &caption, const QString &) override
    {
        shown << QStringLiteral("open: ") + caption;
        return Next(openAnswers);
    }
    bool ConfirmOverwrite(const QString &path) override
    {
        shown << QStringLiteral("overwrite? ") + path;
        return overwrite;
    }
    bool OfferStop(const QString &text) override
    {
        shown << QStringLiteral("offer: ") + text;
        return stopOffered;
    }

    bool ConfirmWrite(const QString &text) override
    {
        shown << QStringLiteral("confirm: ") + text;
        return Next(confirmAnswers).value_or(QString()) == QStringLiteral("yes");
    }

    QStringList shown;
    std::deque<std::optional<QString>> confirmAnswers; // "yes"; anything else or empty: no
    std::deque<std::optional<QString>> saveAnswers; // empty: cancel
    std::deque<std::optional<QString>> openAnswers;
    bool overwrite = true;
    bool stopOffered = true; // the answer to the offer to stop what a vanished port left moving

private:
    static std::optional<QString> Next(std::deque<std::optional<QString>> &answers)
    {
        if (answers.empty())
            return std::nullopt;
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
};
