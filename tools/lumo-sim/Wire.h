#pragma once
// The RS-485 wire at bit level, and the UARTs that listen to it. No I/O and
// no clock: every time is in milliseconds of wire time, passed in.
//
// A transmission is a run of 8N1 characters from one driver, back to back
// at its own baud rate: a start bit (0), eight data bits least significant
// first, a stop bit (1), 10 bits a character. While nobody drives, the line
// rests at 1. Where two drivers overlap, the line carries the AND of their
// levels: an RS-485 collision is undefined electrically, and "a driven 0
// wins" is one deterministic choice that corrupts both frames the way real
// collisions do (mixed bits, framing errors, bytes of neither sender).
//
// A receiver is a UART at its own baud rate. It waits for a falling edge,
// samples each bit in its middle and hands over the byte at the end of the
// stop bit. So a receiver at the sender's rate gets the sender's bytes, one
// at another rate gets the garbage a real UART gets (its bit times do not
// line up with the sender's, and the byte count scales with the ratio of the
// rates), and one under a collision gets the mix. A stop bit sampled as 0 (a
// framing error) still delivers the byte: a raw termios (no INPCK) passes it
// on unchanged, as Linux does.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <vector>

namespace lumosim {

inline constexpr double Never = std::numeric_limits<double>::infinity();

// One character time of 8N1: 10 bits. At 4800 baud 2.083 ms, at 115200 0.0868 ms.
inline double CharMs(uint32_t baud) { return 10000.0 / baud; }

// The Modbus RTU silent interval that ends a frame: 3.5 character times, but
// fixed at 1.75 ms above 19200 baud. At 9600 baud 3.65 ms, at 4800 7.29 ms.
inline double T35Ms(uint32_t baud) { return baud > 19200 ? 1.75 : 3.5 * CharMs(baud); }

struct Transmission {
    int sender = 0;             // who drives: a number the caller chooses
    double startMs = 0;         // the first start bit's leading edge
    double bitMs = 0;           // 1000 / baud
    std::vector<uint16_t> bits; // per character, bit i = level of bit i (bit 0 the start bit)

    double EndMs() const { return startMs + static_cast<double>(bits.size()) * 10 * bitMs; }
    // The level this driver puts on the line at `t`: 1 outside the transmission.
    int Level(double t) const;
    // The first time at or after `t` at which this driver pulls the line to
    // 0; Never when it does not any more.
    double NextLow(double t) const;
};

// The 10 levels of one 8N1 character: start 0, data LSB first, stop 1.
inline uint16_t CharBits(uint8_t byte) { return static_cast<uint16_t>(0x200 | (byte << 1)); }

class Wire {
public:
    void Add(Transmission transmission) { transmissions_.push_back(std::move(transmission)); }
    // Appends `transmission` to the same sender's last one when it follows
    // that one back to back at the same rate, as a UART's queued bytes do;
    // else adds it. A flood is then one transmission, not one per write.
    void AddOrExtend(Transmission transmission);
    // AND of the drivers that `hears` accepts.
    int Level(double t, const std::function<bool(int sender)> &hears) const;
    double NextLow(double t, const std::function<bool(int sender)> &hears) const;
    // Forgets transmissions that ended before `t`.
    void ForgetBefore(double t);
    void Clear() { transmissions_.clear(); }
    bool Empty() const { return transmissions_.empty(); }

private:
    std::deque<Transmission> transmissions_;
};

struct HeardByte {
    uint8_t byte;
    double endMs; // end of its stop bit: when a UART hands it over
};

class Receiver {
public:
    Receiver(uint32_t baud, double fromMs) : baud_(baud), cursorMs_(fromMs) {}

    uint32_t Baud() const { return baud_; }
    // A new rate applies from the next start bit on.
    void SetBaud(uint32_t baud) { baud_ = baud; }
    // Decodes every character that is complete by `horizonMs` (the wire must
    // be final up to there) into `out`. Returns when the next character will
    // be complete, as far as the wire is known now; Never when none is coming.
    double Decode(const Wire &wire, double horizonMs, const std::function<bool(int sender)> &hears,
                  std::vector<HeardByte> &out);
    void Restart(double fromMs) { cursorMs_ = fromMs; }

private:
    uint32_t baud_;
    double cursorMs_; // the line before this time has been decoded
};

} // namespace lumosim
