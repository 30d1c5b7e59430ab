// Opus stream encoding and decoding with sample-exact accounting; no Python in here.
//
// A stream is int16 PCM at any rate, 1 or 2 channels.  Rates that Opus does not take are
// resampled (libsoxr) to the lowest Opus rate at or above them, capped at 48 kHz.  Each packet
// holds 20 ms and says which source samples (frames, per channel) it stands for; decoded, its
// first `skip` samples are dropped and the next `keep` samples are those source samples
// (the encoder's look-ahead at the start, the padding of the last frame at the end).  skip and
// keep count at 48 kHz, Opus's own clock, whatever rate the stream is coded at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

struct OpusEncoder;
struct OpusDecoder;
struct soxr;

namespace codec {

constexpr int kClockRate = 48000;  // the unit of skip, keep and pre_skip
constexpr int kMinRate = 1000;
constexpr int kMaxRate = 384000;
constexpr int kMinBitrate = 6000;
constexpr int kMaxBitrate = 510000;

// A failure of libopus or libsoxr.  A packet that cannot belong to the stream is refused with
// std::invalid_argument.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The rate a stream of this source rate is coded at.
int opus_rate_for(int source_rate);
// The bitrate used when none is given: speech at about 32 kbit/s per channel.
int default_bitrate(int channels);
// The encoder's complexity (0-10): CPU against quality, per channel count.
int complexity_for(int channels);

struct Packet {
    std::vector<unsigned char> data;
    std::int64_t start = 0;  // first source sample it stands for
    std::int64_t end = 0;    // one past the last
    int skip = 0;            // decoded samples (48 kHz) to drop before the kept ones
    int keep = 0;            // decoded samples (48 kHz) that are the source's [start, end)
};

// Converts a stream between two rates, float samples interleaved, time-aligned at the start.
class Resampler {
public:
    Resampler(double in_rate, double out_rate, int channels, bool int16_in);
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;
    // Appends to out what `frames` more input frames let through (the rest is held back).
    void process(const void* in, std::size_t frames, std::vector<float>& out);
    // Appends the held-back tail: the input has ended.
    void drain(std::vector<float>& out);

private:
    void run(const unsigned char* in, std::size_t frames, std::vector<float>& out);
    soxr* s_ = nullptr;
    std::size_t channels_, in_bytes_;
    double ratio_;
};

class Encoder {
public:
    Encoder(int sample_rate, int channels, int bitrate);
    ~Encoder();
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // Appends the packets that `n` more bytes of PCM complete.  Bytes short of a whole frame
    // (one sample of every channel) wait for the next call.  With `sync`, 10 ms of what is short
    // of a 20 ms packet goes too, as a 10 ms packet (once the first packet is out), so that less
    // than 10 ms and the encoder's look-ahead wait for the next call.
    void encode(const unsigned char* data, std::size_t n, std::vector<Packet>& out, bool sync = false);
    // Appends the rest, the last frame padded with silence.  Bytes short of a whole frame are
    // left out.  Later calls append nothing; encode() refuses.
    void flush(std::vector<Packet>& out);

    int sample_rate() const { return rate_; }
    int channels() const { return channels_; }
    int bitrate() const { return bitrate_; }
    int opus_rate() const { return opus_rate_; }
    int pre_skip() const { return lookahead_ * scale_; }
    std::int64_t samples() const { return written_; }
    bool flushed() const { return flushed_; }

private:
    void take_frames(const unsigned char* pcm, std::size_t frames, std::vector<Packet>& out);
    template <class Load>
    void append(std::size_t frames, Load load, std::vector<Packet>& out);
    void emit(int frames, bool last, std::vector<Packet>& out);
    std::int64_t source_index(std::int64_t coded) const;

    int rate_, channels_, bitrate_, opus_rate_, frame_, lookahead_, scale_;
    OpusEncoder* enc_ = nullptr;
    std::unique_ptr<Resampler> resampler_;
    std::vector<float> frame_buf_, scratch_;
    std::size_t filled_ = 0;
    unsigned char partial_[4] = {};
    std::size_t partial_len_ = 0;
    std::int64_t written_ = 0;  // source frames taken
    std::int64_t coded_ = 0;    // frames at the Opus rate handed to the encoder, padding excluded
    std::int64_t fed_ = 0;      // frames at the Opus rate that packets were made of, padding included
    std::int64_t packets_ = 0;
    bool flushed_ = false;
};

class Decoder {
public:
    Decoder(int sample_rate, int channels);
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // Appends the PCM at the source rate that this packet lets through; never more than the
    // source samples the packets so far stand for.  Packets must come in order.
    void decode(const Packet& p, std::vector<std::int16_t>& out);
    // Appends the rest: the output then has exactly as many frames as the packets stood for.
    void flush(std::vector<std::int16_t>& out);

    int opus_rate() const { return opus_rate_; }

private:
    void release(std::int64_t limit, std::vector<std::int16_t>& out);

    int rate_, channels_, opus_rate_, scale_;
    OpusDecoder* dec_ = nullptr;
    std::unique_ptr<Resampler> resampler_;
    std::vector<float> decoded_, held_;
    std::int64_t next_start_ = 0;  // where the next packet must start
    std::int64_t emitted_ = 0;     // source frames given out
    bool flushed_ = false;
};

}  // namespace codec
