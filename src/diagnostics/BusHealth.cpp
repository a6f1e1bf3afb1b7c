#include "diagnostics/BusHealth.h"

#include <algorithm>

#include "modbus/FrameDecoder.h"
#include "modbus/RtuEngine.h"

namespace {

constexpr uint8_t MaxSlaveAddress = 247;

bool Silent(ResultCode result)
{
    return result == Result::ReadError || result == Result::ReadDataWait || result == Result::ReadHeadError;
}

} // namespace

BusHealth::BusHealth(size_t frameCapacity, size_t latencySamples)
    : frameCapacity_(std::max<size_t>(frameCapacity, 1)), latencySamples_(std::max<size_t>(latencySamples, 1))
{
}

FrameObserver BusHealth::Observer()
{
    return [this](const FrameEvent &event) { OnFrame(event); };
}

void BusHealth::Keep(MonitorFrame frame)
{
    frames_.push_back(std::move(frame));
    while (frames_.size() > frameCapacity_) {
        frames_.pop_front();
        ++dropped_;
    }
}

void BusHealth::OnFrame(const FrameEvent &event)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::vector<uint8_t> bytes(event.bytes.begin(), event.bytes.end());
    switch (event.kind) {
    case FrameKind::Request: {
        Keep({event.ms, event.kind, event.address, bytes, DecodeFrame(bytes, FrameDirection::ToSlave), 0});
        if (event.broadcast) {
            ++broadcasts_;
            return;
        }
        if (open_.size() >= 2)
            open_.erase(open_.begin());
        Open open;
        open.address = event.address;
        open.sentMs = event.ms;
        open.request = bytes;
        open.firstFrame = dropped_ + frames_.size() - 1;
        open.counted = event.address != 0 && event.address <= MaxSlaveAddress;
        if (open.counted) {
            Tally &d = devices_[event.address];
            d.health.address = event.address;
            ++d.health.requests;
        }
        open_.push_back(std::move(open));
        return;
    }
    case FrameKind::Echo: {
        Keep({event.ms, event.kind, event.address, bytes,
              DecodeFrame(bytes, FrameDirection::ToSlave, DecodeContext{{}, true}), 0});
        if (!open_.empty() && open_.back().counted)
            ++devices_[open_.back().address].health.echoes;
        return;
    }
    case FrameKind::Reply: {
        std::vector<uint8_t> request;
        if (!open_.empty()) {
            Open &open = open_.back();
            request = open.request;
            if (!open.replyMs)
                open.replyMs = event.ms;
            open.replyBytes += bytes.size();
        }
        Keep({event.ms, event.kind, event.address, bytes,
              DecodeFrame(bytes, FrameDirection::FromSlave, DecodeContext{request, false}), 0});
        return;
    }
    case FrameKind::Stale:
        // Kept for the monitor, but counted as nobody's reply.
        Keep({event.ms, event.kind, event.address, bytes, DecodeFrame(bytes, FrameDirection::FromSlave), 0});
        return;
    case FrameKind::Finished:
        if (open_.empty())
            return;
        Finish(open_.back(), event.result);
        open_.pop_back();
        return;
    }
}

void BusHealth::Finish(const Open &open, ResultCode result)
{
    // The transaction's frames learn how it ended.
    for (size_t i = open.firstFrame >= dropped_ ? open.firstFrame - dropped_ : 0; i < frames_.size(); ++i)
        if (frames_[i].address == open.address)
            frames_[i].result = result;
    if (!open.counted)
        return;
    Tally &d = devices_[open.address];
    DeviceHealth &h = d.health;
    bool bad = false;
    if (result == Result::NoError || result == Result::ExceptionReply) {
        if (result == Result::NoError)
            ++h.goodReplies;
        else
            ++h.exceptions;
        d.badRun = 0;
        if (open.replyMs) {
            const uint32_t latency = *open.replyMs - open.sentMs;
            h.latencyMinMs = std::min(h.latencyMinMs.value_or(latency), latency);
            h.latencyMaxMs = std::max(h.latencyMaxMs.value_or(latency), latency);
            d.latencies.push_back(latency);
            if (d.latencies.size() > latencySamples_)
                d.latencies.pop_front();
        }
    } else if (result == Result::ChecksumError) {
        ++h.crcErrors;
        bad = true;
    } else if (open.replyBytes == 0 && Silent(result)) {
        ++h.silent;
    } else if (result != Result::PortError && result != Result::ParameterError && result != Result::WriteError) {
        // Bytes that made no frame, or a frame that does not fit the request.
        ++h.unreadable;
        bad = true;
    }
    if (bad) {
        ++d.badRun;
        if (d.badRun == CollisionRun)
            h.collisionsSuspected += CollisionRun;
        else if (d.badRun > CollisionRun)
            ++h.collisionsSuspected;
    }
}

DeviceHealth BusHealth::Summary(const Tally &device)
{
    DeviceHealth h = device.health;
    if (!device.latencies.empty()) {
        std::vector<uint32_t> sorted(device.latencies.begin(), device.latencies.end());
        std::sort(sorted.begin(), sorted.end());
        h.latencyMedianMs = sorted[sorted.size() / 2];
    }
    return h;
}

std::vector<DeviceHealth> BusHealth::Devices() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<DeviceHealth> out;
    for (const auto &[address, device] : devices_)
        out.push_back(Summary(device));
    return out;
}

DeviceHealth BusHealth::Device(uint8_t address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = devices_.find(address);
    if (it == devices_.end()) {
        DeviceHealth none;
        none.address = address;
        return none;
    }
    return Summary(it->second);
}

uint32_t BusHealth::Broadcasts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return broadcasts_;
}

std::vector<MonitorFrame> BusHealth::Frames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return {frames_.begin(), frames_.end()};
}

std::vector<MonitorFrame> BusHealth::SettledFrames(FrameCursor &cursor, bool *restarted) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (restarted)
        *restarted = cursor.resets != resets_;
    if (cursor.resets != resets_)
        cursor = {resets_, 0};
    uint64_t end = dropped_ + frames_.size();
    for (const Open &open : open_)
        end = std::min<uint64_t>(end, open.firstFrame);
    const uint64_t begin = std::max<uint64_t>(cursor.next, dropped_);
    if (end <= begin)
        return {};
    cursor.next = end;
    return {frames_.begin() + static_cast<std::ptrdiff_t>(begin - dropped_),
            frames_.begin() + static_cast<std::ptrdiff_t>(end - dropped_)};
}

void BusHealth::Reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++resets_;
    devices_.clear();
    broadcasts_ = 0;
    frames_.clear();
    dropped_ = 0;
    open_.clear();
}
