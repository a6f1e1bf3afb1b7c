#pragma once
// Every piece of mutable state of the operator console, owned by the main
// window. Handlers change it and then call RefreshUiState, which derives the
// guarded controls from it.

#include <QStringList>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "modbus/MovedActuators.h"
#include "modbus/Registers.h"
#include "serial/ComPort.h"
#include "serial/UsbDevice.h"

struct ConsoleState {
    std::string portName;            // the open port; empty while none is open
    bool isConnected = false;
    std::unique_ptr<std::vector<std::string>> portList;        // port names
    std::unique_ptr<std::vector<std::string>> adapterPortList; // "<port> >><adapter>"
    std::string autoPortEntry;       // entry the automatic selection showed last
    std::unique_ptr<C_ComPort> comPort;
    std::unique_ptr<C_USBDevice> adapterFinder;
    int32_t baudRate = 115200;       // for the next connect
    uint32_t lastResult = 0;         // ResultCode of the last bus operation
    uint8_t scanId = 0;              // next address the scan probes
    bool isScanning = false;
    uint8_t newDeviceId = 0;         // validated new address; 0 = none
    uint8_t selectedDeviceId = 0;    // Bus Devices page selection; 0 = none
    uint8_t controlDeviceId = 0;     // Control page selection; 0 = none
    uint32_t selectedModel = Model::None;
    uint32_t controlModel = Model::None;
    uint32_t responseDelayMs = 30;   // request to reading of the reply
    uint32_t commandGapMs = 20;      // after each attempt of a bus operation
    uint16_t posOffset = 0;
    bool configValid = false;
    int32_t learnErrorCount = 0;
    uint8_t learnDeviceId = 0;       // the device a learning run belongs to; 0 = none
    uint16_t posRangeMax = 0;
    uint16_t posRangeMin = 0;
    // posRangeMin..posRangeMax were read from controlDeviceId. Until then
    // (and after a failed read) no target is valid: 0..0 is no real range.
    bool posRangeKnown = false;
    bool targetPosValid = false;
    int32_t broadcastRepeat = 1;     // sends of a write to address 0
    int32_t cmdTryCount = 3;         // attempts per bus operation, 1..5
    QStringList holdingRegisterNames;
    QStringList inputRegisterNames;
    uint8_t debugFunctionCode = 0;
    uint16_t debugRegister = 0;
    uint16_t debugRegCount = 0;
    // What this window has set moving and not yet seen stop (see
    // MovedActuators.h): every motion path notes its commands here, every
    // stop path stops through it.
    MovedActuators moved;
    bool cycleTestRunning = false;
    uint32_t cycleTestStep = 0;
    bool isBusy = false;             // a bulk configuration transfer runs
    bool uiBusy = false;             // busy argument of the last RefreshUiState
};
