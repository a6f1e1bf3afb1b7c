#pragma once
#include <QObject>
#include <memory>

std::unique_ptr<QObject> MakeWindowTest();
std::unique_ptr<QObject> MakeConnectionTest();
std::unique_ptr<QObject> MakeShellTest();
