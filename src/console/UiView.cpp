#include "console/UiView.h"

#include "modbus/ResultCode.h"

UiView DeriveUiView(const ConsoleState &s, bool listHasSelection)
{
    UiView v;
    v.connectionText = s.isConnected ? QStringLiteral("Connected") : QStringLiteral("Disconnect");
    v.baudRateEnabled = !s.isConnected;
    v.scanCaption = s.isScanning ? QStringLiteral("Stop Scan") : QStringLiteral("Scan Devices");
    v.scanEnabled = s.isConnected;

    const bool deviceReady = s.isConnected && s.selectedDeviceId != 0 && !s.isScanning;
    v.learnEnabled = deviceReady;
    v.readEnabled = deviceReady;
    v.writeEnabled = deviceReady && s.configValid;
    v.renewIdEnabled = deviceReady && s.newDeviceId != 0;
    v.exportEnabled = s.configValid;

    switch (s.controlModel) {
    case Model::LumoD:
        // This model is driven without a connection check.
        v.motionEnabled = true;
        v.goEnabled = true;
        break;
    case Model::LumoB:
        v.motionEnabled = s.isConnected && !s.isScanning;
        v.goEnabled = s.isConnected && s.targetPosValid && !s.isScanning;
        break;
    default: // LUMO-P and unknown models cannot be moved from here
        break;
    }
    // Go needs the limits of the device it goes to; until they are read
    // for it, no target can be checked against them.
    v.goEnabled = v.goEnabled && s.posRangeKnown;

    v.targetPosEnabled = s.controlDeviceId != 0;
    v.statusCheckEnabled = listHasSelection;
    v.resultText = QString::fromLatin1(ResultText(s.lastResult));
    return v;
}
