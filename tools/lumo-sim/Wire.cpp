#include "Wire.h"

#include <algorithm>
#include <cmath>

namespace lumosim {

int Transmission::Level(double t) const
{
    if (t < startMs || t >= EndMs())
        return 1;
    const auto bit = static_cast<size_t>(std::floor((t - startMs) / bitMs));
    const size_t character = std::min(bit / 10, bits.size() - 1); // rounding at the very end
    return (bits[character] >> (bit % 10)) & 1;
}

double Transmission::NextLow(double t) const
{
    if (t >= EndMs())
        return Never;
    const size_t total = bits.size() * 10;
    size_t bit = t <= startMs ? 0 : static_cast<size_t>(std::floor((t - startMs) / bitMs));
    for (; bit < total; ++bit)
        if (((bits[bit / 10] >> (bit % 10)) & 1) == 0)
            return std::max(t, startMs + static_cast<double>(bit) * bitMs);
    return Never;
}

// Both ask `hears` only about transmissions that matter at `t`: a flood
// keeps a second of the wire and the queued writes here, and each decoded
// bit asks for the level.
int Wire::Level(double t, const std::function<bool(int)> &hears) const
{
    int level = 1;
    for (const Transmission &tx : transmissions_)
        if (t >= tx.startMs && t < tx.EndMs() && hears(tx.sender))
            level &= tx.Level(t);
    return level;
}

double Wire::NextLow(double t, const std::function<bool(int)> &hears) const
{
    double earliest = Never;
    for (const Transmission &tx : transmissions_)
        if (tx.EndMs() > t && tx.startMs < earliest && hears(tx.sender))
            earliest = std::min(earliest, tx.NextLow(t));
    return earliest;
}

void Wire::AddOrExtend(Transmission transmission)
{
    for (auto it = transmissions_.rbegin(); it != transmissions_.rend(); ++it) {
        if (it->sender != transmission.sender)
            continue;
        if (it->bitMs == transmission.bitMs && it->EndMs() == transmission.startMs) {
            it->bits.insert(it->bits.end(), transmission.bits.begin(), transmission.bits.end());
            return;
        }
        break;
    }
    Add(std::move(transmission));
}

void Wire::ForgetBefore(double t)
{
    std::erase_if(transmissions_, [t](const Transmission &tx) { return tx.EndMs() < t; });
}

double Receiver::Decode(const Wire &wire, double horizonMs, const std::function<bool(int)> &hears,
                        std::vector<HeardByte> &out)
{
    const double bitMs = 1000.0 / baud_;
    for (;;) {
        const double start = wire.NextLow(cursorMs_, hears);
        if (start == Never)
            return Never;
        const double end = start + 10 * bitMs;
        if (end > horizonMs) {
            cursorMs_ = std::min(start, horizonMs);
            return end;
        }
        auto sample = [&](int bit) { return wire.Level(start + (bit + 0.5) * bitMs, hears); };
        if (sample(0) != 0) {
            // Low for less than half a bit: a glitch, not a start bit.
            cursorMs_ = start + 0.5 * bitMs;
            continue;
        }
        uint8_t byte = 0;
        for (int bit = 1; bit <= 8; ++bit)
            byte = static_cast<uint8_t>(byte | (sample(bit) << (bit - 1)));
        out.push_back(HeardByte{byte, end});
        // A UART looks for the next start bit from the middle of the stop bit.
        cursorMs_ = start + 9.5 * bitMs;
    }
}

} // namespace lumosim
