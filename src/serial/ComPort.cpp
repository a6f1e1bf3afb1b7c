#include "serial/ComPort.h"

#include <atomic>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {
#ifdef _WIN32
const ComHandle kInvalid = INVALID_HANDLE_VALUE;
#else
constexpr ComHandle kInvalid = -1;
#endif

// Every successful open in the process gets its own number, so a new
// connection is told from the old one even when the port object, its
// address or the device name are the same.
std::atomic<uint64_t> lastConnectionId{0};
} // namespace

C_ComPort::C_ComPort(Clock &clock) : handle(kInvalid), clock_(clock) {}

C_ComPort::~C_ComPort()
{
    Close();
}

bool C_ComPort::IsOpen() const
{
    return handle != kInvalid;
}

bool C_ComPort::Read(uint8_t *buffer, size_t count, size_t *received)
{
    int32_t polls = readRetries;
    return ReadWithin(buffer, count, received, polls);
}

bool C_ComPort::ReadWithin(uint8_t *buffer, size_t count, size_t *received, int32_t &pollsLeft)
{
    if (received != nullptr)
        *received = 0;
    if (!IsOpen() || buffer == nullptr)
        return false;
    if (count == 0)
        return true;
    // A reply reaches the host in pieces: at 4800 baud a 33-byte reply takes
    // 69 ms on the wire, and a USB adapter hands it over in latency-timer
    // chunks (16 ms) of about 8 bytes. Take what comes until the count is in;
    // only empty polls use up the budget, so the wait stays bounded by
    // readRetries polls 10 ms apart however the bytes are split.
    size_t got = 0;
    for (;;) {
        const int n = ReadSome(buffer + got, count - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
            if (received != nullptr)
                *received = got;
            if (got == count)
                return true;
            continue;
        }
        // Nothing queued. A line whose far side has gone will never deliver:
        // fail now rather than poll ten more times.
        if (HungUp() || pollsLeft <= 0)
            return false;
        --pollsLeft;
        clock_.SleepMs(ReadPollMs);
    }
}

int C_ComPort::ReadAvailable(uint8_t *buffer, size_t count)
{
    if (!IsOpen() || buffer == nullptr)
        return -1;
    if (count == 0)
        return 0;
    return ReadSome(buffer, count);
}

void C_ComPort::DrainInput()
{
    if (!IsOpen())
        return;
    uint8_t scratch[DrainChunk];
    for (int pass = 0; pass < 2; ++pass) {
        const int got = ReadSome(scratch, sizeof scratch);
        if (got < static_cast<int>(sizeof scratch))
            break;
    }
}

#ifndef _WIN32

namespace {
bool BaudToSpeed(int32_t baudRate, speed_t &speed)
{
    switch (baudRate) {
    case 4800: speed = B4800; return true;
    case 9600: speed = B9600; return true;
    case 19200: speed = B19200; return true;
    case 38400: speed = B38400; return true;
    case 57600: speed = B57600; return true;
    case 115200: speed = B115200; return true;
    default: return false;
    }
}

// Pseudo-terminals and some adapters have no modem lines; that is no reason
// to refuse the port.
bool NoModemLines(int error)
{
    return error == ENOTTY || error == EINVAL || error == ENOTSUP;
}
} // namespace

bool C_ComPort::Open(const std::string &name, int32_t baudRate, int32_t queueSize)
{
    openStep = 0;
    // A bare name such as ttyUSB0 lives in /dev; a path is taken as it is.
    path_ = name.find('/') == std::string::npos ? "/dev/" + name : name;
    openStep = 1;
    Close();

    handle = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    openStep = 2;
    if (handle < 0) {
        lastError = static_cast<uint32_t>(errno);
        handle = kInvalid;
        return false;
    }
    // TIOCEXCL keeps other users out but not root; flock makes a second open
    // file description fail for everybody, so two instances never share a bus.
    if (::flock(handle, LOCK_EX | LOCK_NB) != 0) {
        lastError = static_cast<uint32_t>(errno);
        Close();
        return false;
    }
    ::ioctl(handle, TIOCEXCL);

    openStep = 3;
    // The kernel sizes its own tty buffers; the value is kept for reference.
    queueSize_ = queueSize > 0 ? queueSize : DefaultQueueSize;

    openStep = 4;
    if (!ApplyLineSettings(baudRate))
        return false;
    openStep = 5;
    if (!SetTimeouts(200))
        return false;
    openStep = 6;
    hungUp_ = false;
    connectionId_ = ++lastConnectionId;
    ::tcflush(handle, TCIFLUSH);
    return true;
}

bool C_ComPort::ApplyLineSettings(int32_t baudRate)
{
    if (!IsOpen())
        return false;
    speed_t speed{};
    termios tio{};
    if (!BaudToSpeed(baudRate, speed)) {
        lastError = EINVAL;
        Close();
        return false;
    }
    if (::tcgetattr(handle, &tio) != 0) {
        lastError = static_cast<uint32_t>(errno);
        Close();
        return false;
    }
    // Binary 8N1 without any flow control or character processing.
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CSIZE | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    // Reads return at once with whatever is queued.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (::tcsetattr(handle, TCSANOW, &tio) != 0) {
        lastError = static_cast<uint32_t>(errno);
        Close();
        return false;
    }
    // DTR on powers many RS-485 converters; RTS off keeps their driver idle.
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    if ((::ioctl(handle, TIOCMBIS, &dtr) != 0 && !NoModemLines(errno))
        || (::ioctl(handle, TIOCMBIC, &rts) != 0 && !NoModemLines(errno))) {
        lastError = static_cast<uint32_t>(errno);
        Close();
        return false;
    }
    return true;
}

bool C_ComPort::SetBaudRate(int32_t baudRate)
{
    if (!IsOpen())
        return false;
    speed_t speed{};
    if (!BaudToSpeed(baudRate, speed)) {
        lastError = EINVAL;
        return false;
    }
    termios tio{};
    if (::tcgetattr(handle, &tio) != 0) {
        lastError = static_cast<uint32_t>(errno);
        return false;
    }
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    // TCSANOW, not TCSADRAIN: a drain waits on the far side to take the
    // output, which a vanished adapter never does.
    if (::tcsetattr(handle, TCSANOW, &tio) != 0) {
        lastError = static_cast<uint32_t>(errno);
        return false;
    }
    return true;
}

bool C_ComPort::SetTimeouts(uint32_t writeConstantMs)
{
    if (!IsOpen())
        return false;
    // Reads are non-blocking by O_NONBLOCK with VMIN = VTIME = 0; the write
    // bound is enforced by Write itself.
    writeConstantMs_ = writeConstantMs;
    return true;
}

int C_ComPort::ReadSome(uint8_t *buffer, size_t count)
{
    const ssize_t got = ::read(handle, buffer, count);
    if (got >= 0)
        return static_cast<int>(got);
    if (errno == EIO)
        hungUp_ = true;
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
}

bool C_ComPort::Write(const uint8_t *buffer, size_t count)
{
    if (!IsOpen() || buffer == nullptr || hungUp_)
        return false;
    // A write of n bytes may take n ms plus the constant: 1 ms a byte is
    // more than the 87 us a byte takes at 115200 baud and the 2.1 ms at 4800.
    const uint32_t limit = static_cast<uint32_t>(count) + writeConstantMs_;
    const uint32_t start = clock_.TickMs();
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(handle, buffer + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            if (errno == EIO)
                hungUp_ = true;
            return false;
        }
        const uint32_t spent = clock_.TickMs() - start;
        if (spent >= limit)
            return false;
        pollfd p{handle, POLLOUT, 0};
        const int wait = static_cast<int>(limit - spent);
        if (::poll(&p, 1, wait) < 0 && errno != EINTR)
            return false;
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            hungUp_ = true;
            return false;
        }
    }
    return true;
}

void C_ComPort::DiscardInput()
{
    if (IsOpen())
        ::tcflush(handle, TCIFLUSH);
}

bool C_ComPort::HungUp()
{
    if (!IsOpen())
        return false;
    if (!hungUp_) {
        // read() returns 0 both for "nothing yet" and for a vanished far
        // side; only poll tells them apart.
        pollfd p{handle, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
            hungUp_ = true;
    }
    return hungUp_;
}

void C_ComPort::Close()
{
    if (handle != kInvalid) {
        ::close(handle);   // also releases the flock
        handle = kInvalid;
    }
    hungUp_ = false;
}

#else // _WIN32

namespace {
// What the calls on a serial handle fail with once its device has gone: a
// USB adapter pulled out, or (under Wine) a terminal whose far side closed,
// which reports ERROR_NOT_READY. A write that merely timed out is no failure
// at all: it succeeds with fewer bytes written.
bool DeviceGone(DWORD error)
{
    switch (error) {
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_NOT_READY:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return true;
    default:
        return false;
    }
}
} // namespace

bool C_ComPort::Open(const std::string &name, int32_t baudRate, int32_t queueSize)
{
    openStep = 0;
    // The path is a string, not a 16-byte area, so no name can overrun it;
    // "\\.\" also reaches COM10 and above, which the bare name does not.
    path_ = "\\\\.\\" + name;
    openStep = 1;
    Close();

    handle = ::CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    openStep = 2;
    if (handle == kInvalid) {
        lastError = ::GetLastError();
        return false;
    }
    openStep = 3;
    queueSize_ = queueSize > 0 ? queueSize : DefaultQueueSize;
    if (!::SetupComm(handle, static_cast<DWORD>(queueSize_), static_cast<DWORD>(queueSize_))) {
        lastError = ::GetLastError();
        Close();
        return false;
    }
    openStep = 4;
    if (!ApplyLineSettings(baudRate))
        return false;
    openStep = 5;
    if (!SetTimeouts(200))
        return false;
    openStep = 6;
    hungUp_ = false;
    connectionId_ = ++lastConnectionId;
    ::PurgeComm(handle, PURGE_RXCLEAR);
    return true;
}

bool C_ComPort::ApplyLineSettings(int32_t baudRate)
{
    if (!IsOpen())
        return false;
    switch (baudRate) {
    case 4800: case 9600: case 19200: case 38400: case 57600: case 115200: break;
    default:
        lastError = ERROR_INVALID_PARAMETER;
        Close();
        return false;
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);   // built from zero, not read from the device
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = FALSE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 1024;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0x58;
    dcb.EvtChar = 0;
    if (!::SetCommState(handle, &dcb)) {
        lastError = ::GetLastError();
        Close();
        return false;
    }
    return true;
}

bool C_ComPort::SetBaudRate(int32_t baudRate)
{
    if (!IsOpen())
        return false;
    switch (baudRate) {
    case 4800: case 9600: case 19200: case 38400: case 57600: case 115200: break;
    default:
        lastError = ERROR_INVALID_PARAMETER;
        return false;
    }
    // The device's own block with only the rate changed: DTR and RTS
    // control stay as Open set them.
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle, &dcb)) {
        lastError = ::GetLastError();
        return false;
    }
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    if (!::SetCommState(handle, &dcb)) {
        lastError = ::GetLastError();
        return false;
    }
    return true;
}

bool C_ComPort::SetTimeouts(uint32_t writeConstantMs)
{
    if (!IsOpen())
        return false;
    COMMTIMEOUTS t{};
    // MAXDWORD with both read totals 0: ReadFile returns at once with what is queued.
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;
    t.WriteTotalTimeoutMultiplier = 1;
    t.WriteTotalTimeoutConstant = writeConstantMs;
    if (!::SetCommTimeouts(handle, &t)) {
        lastError = ::GetLastError();
        Close();
        return false;
    }
    writeConstantMs_ = writeConstantMs;
    return true;
}

int C_ComPort::ReadSome(uint8_t *buffer, size_t count)
{
    DWORD got = 0;
    if (!::ReadFile(handle, buffer, static_cast<DWORD>(count), &got, nullptr)) {
        if (DeviceGone(::GetLastError()))
            hungUp_ = true;
        return -1;
    }
    return static_cast<int>(got);
}

bool C_ComPort::Write(const uint8_t *buffer, size_t count)
{
    if (!IsOpen() || buffer == nullptr || hungUp_)
        return false;
    DWORD written = 0;
    if (!::WriteFile(handle, buffer, static_cast<DWORD>(count), &written, nullptr)) {
        if (DeviceGone(::GetLastError()))
            hungUp_ = true;
        return false;
    }
    // A write that timed out part-way reports success with fewer bytes.
    return written == count;
}

void C_ComPort::DiscardInput()
{
    if (IsOpen())
        ::PurgeComm(handle, PURGE_RXCLEAR);
}

bool C_ComPort::HungUp()
{
    if (!IsOpen())
        return false;
    if (!hungUp_) {
        // ReadFile delivers nothing both when no byte is waiting and when the
        // device has gone; the status query fails in the second case only.
        COMSTAT status{};
        DWORD errors = 0;
        if (!::ClearCommError(handle, &errors, &status) && DeviceGone(::GetLastError()))
            hungUp_ = true;
    }
    return hungUp_;
}

void C_ComPort::Close()
{
    if (handle != kInvalid) {
        ::CloseHandle(handle);
        handle = kInvalid;
    }
    hungUp_ = false;
}

#endif
