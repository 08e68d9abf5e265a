#pragma once

#include <nmb/protocol/crc32.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace nmb::codec {

// Result of feeding one byte. The numbers are printed by the programs.
enum class DecodeResult : std::int32_t {
    Pending = 0,        // nothing completed with this byte
    FrameReady = 1,     // a wanted frame passed its checksum: see frame()
    SkippedOtherId = 2, // a frame of another ID was consumed (unchecked)
    LengthTooLarge = 3, // a wanted header declared more than the capacity
    CrcMismatch = 4,    // a wanted frame was complete but its checksum differed
};

// What one call of the bulk feed did: bytes consumed, and the result of
// the last of them.
struct FeedStep {
    std::size_t consumed = 0;
    DecodeResult result = DecodeResult::Pending;
};

enum class DecoderState : std::uint8_t {
    HuntSync0,
    WaitSync1,
    IdLow,
    IdHigh,
    LengthLow,
    LengthHigh,
    Payload,
    Crc0,
    Crc1,
    Crc2,
    Crc3,
    SkipFrame,
};

// Byte-at-a-time stream decoder for frames of one wanted ID. Bytes may
// arrive in pieces of any size; garbage between frames is skipped, frames of
// other IDs are consumed by their declared length and reported. Allocates
// once, at construction; nothing per byte or per frame. One thread only.
//
// `Frame` is a packed wire image: 6 header bytes, a payload of capacity
// sizeof(Frame) - 10, and the 4-byte checksum last.
template <typename Frame, std::uint16_t ID, std::uint8_t SYNC0, std::uint8_t SYNC1>
class DecoderT {
    static_assert(std::is_trivially_copyable_v<Frame>);
    static_assert(sizeof(Frame) >= 10);

public:
    static constexpr std::uint32_t CAPACITY = sizeof(Frame) - 10;

    DecoderT()
        : buffer_(CAPACITY, 0)
    {
        reset_frame();
        frame_.payload_length = static_cast<std::uint16_t>(CAPACITY);
    }

    // Consumes one byte; returns (and keeps) its result.
    DecodeResult feed(std::uint8_t b)
    {
        // Most bytes are payload short of its last byte: store and go, in
        // a path small enough to inline into the caller's loop. The byte
        // before was Pending too (a header or payload byte), so the kept
        // result needs no store.
        if (state_ == DecoderState::Payload && received_ + 1 < length_) {
            buffer_[received_++] = b;
            return DecodeResult::Pending;
        }
        return step(b);
    }

    // Feeds bytes from `data` until one of them gives a result other than
    // Pending, or all are used. The results, their order and the frames are
    // exactly those of feeding the bytes one by one; payloads, skipped frames
    // and garbage are only taken in runs. Returns the bytes consumed and the
    // result of the last one.
    FeedStep feed(const std::uint8_t* data, std::size_t size)
    {
        last_result_ = DecodeResult::Pending;
        std::size_t i = 0;
        while (i < size) {
            const std::size_t left = size - i;
            switch (state_) {
            case DecoderState::HuntSync0: {
                const void* sync = std::memchr(data + i, SYNC0, left);
                if (!sync)
                    return {size, DecodeResult::Pending};
                i = std::size_t(static_cast<const std::uint8_t*>(sync) - data);
                break;
            }
            case DecoderState::Payload: {
                // All but the last payload byte; that one goes through
                // feed() below, which completes the checksum.
                const std::size_t run = std::min<std::size_t>(left, length_ - received_ - 1);
                std::memcpy(buffer_.data() + received_, data + i, run);
                received_ += std::uint32_t(run);
                i += run;
                break;
            }
            case DecoderState::SkipFrame: {
                const std::size_t run = std::min<std::size_t>(left, length_ - received_ - 1);
                received_ += std::uint32_t(run);
                i += run;
                break;
            }
            default:
                break;
            }
            if (i < size) {
                const DecodeResult result = feed(data[i++]);
                if (result != DecodeResult::Pending)
                    return {i, result};
            }
        }
        return {size, DecodeResult::Pending};
    }

    // The last frame produced; valid after FrameReady until the next one.
    const Frame& frame() const { return frame_; }
    DecodeResult last_result() const { return last_result_; }
    DecoderState state() const { return state_; }

private:
    // The state machine proper, one byte at a time.
    DecodeResult step(std::uint8_t b)
    {
        last_result_ = DecodeResult::Pending;
        switch (state_) {
        case DecoderState::HuntSync0:
            if (b == SYNC0) {
                received_ = 0;
                frame_id_ = 0;
                length_ = 0;
                received_crc_ = 0;
                id_low_ = length_low_ = 0;
                crc_bytes_[0] = crc_bytes_[1] = crc_bytes_[2] = 0;
                crc_ = INITIAL_REGISTER;
                state_ = DecoderState::WaitSync1;
            }
            break;
        case DecoderState::WaitSync1:
            if (b == SYNC1) {
                crc_ = protocol::crc32_update(crc_, b);
                state_ = DecoderState::IdLow;
            } else if (b == SYNC0) {
                crc_ = INITIAL_REGISTER; // taken as a new first sync byte
            } else {
                state_ = DecoderState::HuntSync0;
            }
            break;
        case DecoderState::IdLow:
            id_low_ = b;
            crc_ = protocol::crc32_update(crc_, b);
            state_ = DecoderState::IdHigh;
            break;
        case DecoderState::IdHigh:
            frame_id_ = id_low_ + 256u * b;
            crc_ = protocol::crc32_update(crc_, b);
            state_ = DecoderState::LengthLow;
            break;
        case DecoderState::LengthLow:
            length_low_ = b;
            crc_ = protocol::crc32_update(crc_, b);
            state_ = DecoderState::LengthHigh;
            break;
        case DecoderState::LengthHigh:
            length_ = length_low_ + 256u * b;
            crc_ = protocol::crc32_update(crc_, b);
            if (frame_id_ == ID) {
                if (length_ > CAPACITY) {
                    // What follows is hunted for a sync byte, not skipped.
                    last_result_ = DecodeResult::LengthTooLarge;
                    state_ = DecoderState::HuntSync0;
                } else {
                    received_ = 0;
                    state_ = length_ == 0 ? DecoderState::Crc0 : DecoderState::Payload;
                }
            } else {
                length_ += 4; // payload and trailer
                received_ = 0;
                state_ = DecoderState::SkipFrame;
            }
            break;
        case DecoderState::Payload:
            if (received_ < CAPACITY)
                buffer_[received_] = b;
            ++received_;
            // The payload enters the register in one run once it is whole:
            // the same value as byte by byte, at a fraction of the cost.
            if (received_ == length_) {
                crc_ = protocol::crc32_update(crc_, buffer_.data(), length_);
                state_ = DecoderState::Crc0;
            }
            break;
        case DecoderState::Crc0:
            crc_bytes_[0] = b;
            state_ = DecoderState::Crc1;
            break;
        case DecoderState::Crc1:
            crc_bytes_[1] = b;
            state_ = DecoderState::Crc2;
            break;
        case DecoderState::Crc2:
            crc_bytes_[2] = b;
            state_ = DecoderState::Crc3;
            break;
        case DecoderState::Crc3:
            received_crc_ = std::uint32_t(crc_bytes_[0]) | (std::uint32_t(crc_bytes_[1]) << 8)
                | (std::uint32_t(crc_bytes_[2]) << 16) | (std::uint32_t(b) << 24);
            state_ = DecoderState::HuntSync0;
            if (received_crc_ == protocol::crc32_final(crc_)) {
                build_frame();
                last_result_ = DecodeResult::FrameReady;
            } else {
                last_result_ = DecodeResult::CrcMismatch;
            }
            break;
        case DecoderState::SkipFrame:
            ++received_;
            if (received_ == length_) {
                last_result_ = DecodeResult::SkippedOtherId;
                state_ = DecoderState::HuntSync0;
            }
            break;
        default:
            state_ = DecoderState::HuntSync0;
            break;
        }
        return last_result_;
    }

    static constexpr std::uint32_t INITIAL_REGISTER =
        protocol::crc32_update(protocol::CRC32_INITIAL, SYNC0);

    unsigned char* frame_bytes() { return reinterpret_cast<unsigned char*>(&frame_); }

    void reset_frame()
    {
        std::memset(frame_bytes(), 0, sizeof(Frame));
        const std::uint16_t sync = static_cast<std::uint16_t>(SYNC1 * 256u + SYNC0);
        std::memcpy(frame_bytes(), &sync, 2);
    }

    void build_frame()
    {
        reset_frame();
        const auto id = static_cast<std::uint16_t>(frame_id_);
        const auto length = static_cast<std::uint16_t>(length_);
        std::memcpy(frame_bytes() + 2, &id, 2);
        std::memcpy(frame_bytes() + 4, &length, 2);
        std::memcpy(frame_bytes() + 6, buffer_.data(), length_);
        std::memcpy(frame_bytes() + sizeof(Frame) - 4, &received_crc_, 4);
    }

    DecodeResult last_result_ = DecodeResult::Pending;
    DecoderState state_ = DecoderState::HuntSync0;
    std::uint32_t received_ = 0;
    std::uint32_t frame_id_ = 0;
    std::uint32_t length_ = 0;
    std::uint32_t received_crc_ = 0;
    std::uint8_t id_low_ = 0;
    std::uint8_t length_low_ = 0;
    std::uint8_t crc_bytes_[3] = {};
    std::vector<std::uint8_t> buffer_;
    std::uint32_t crc_ = 0;
    Frame frame_;
};

} // namespace nmb::codec
