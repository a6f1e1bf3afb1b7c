// Any file offered to "Import": read through the real file path, shown on
// (plain) page values, validated, and, when valid, gathered and written back.
// A valid file must survive the round trip unchanged in the words the page
// keeps.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/ConfigFile.h"
#include "config/ConfigRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string dir = [] {
        char tmpl[] = "/tmp/lumo-fuzz-XXXXXX";
        const char *made = mkdtemp(tmpl);
        if (!made)
            abort();
        return std::string(made);
    }();
    const std::string path = dir + "/in.config";
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    ActuatorConfig record{};
    std::string error;
    const ImportStatus status = ReadConfigFile(path, record, error);
    if ((status == ImportStatus::Ok) != (size == ConfigFileSize))
        abort();
    if (status != ImportStatus::Ok)
        return 0;

    for (uint32_t model : {0u, 1u}) {
        ConfigInputs shown{};
        shown.voltageVisible = model == 1;
        shown = ShowConfig(record, 0, shown);
        ActuatorConfig gathered{};
        if (!GatherConfig(shown, 0, model, gathered))
            continue;
        // posOffset 0 in and out: the positions and codes come back as read,
        // as long as the file held codes the page can show.
        if (record.HallPotSelect <= 1 && record.BaudRate <= 3 &&
            (gathered.MaxPos != record.MaxPos || gathered.RearLimit != record.RearLimit ||
             gathered.FrontLimit != record.FrontLimit || gathered.SpeedPwm != record.SpeedPwm ||
             gathered.CurrentLimit != record.CurrentLimit || gathered.HallPotSelect != record.HallPotSelect ||
             gathered.BaudRate != record.BaudRate || gathered.SettingFlag != (record.SettingFlag & 3)))
            abort();
        const std::string out = dir + "/out.config";
        if (!WriteConfigFile(out, gathered, error))
            abort();
        ActuatorConfig again{};
        if (ReadConfigFile(out, again, error) != ImportStatus::Ok || ToFileBytes(again) != ToFileBytes(gathered))
            abort();
    }
    return 0;
}
