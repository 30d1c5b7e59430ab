// Opus stream encoder and decoder: framing into 20 ms packets, resampling, sample accounting.
#include "stream.hpp"

#include <opus/opus.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace codec {
namespace {

constexpr int kOpusRates[] = {8000, 12000, 16000, 24000, 48000};
constexpr int kPacketsPerSecond = 50;   // 20 ms packets
constexpr int kMaxPacketBytes = 1500;   // 20 ms at 510 kbit/s is 1275 bytes
constexpr int kMaxDecodedPerSecond = 8; // a packet holds at most 120 ms
constexpr std::size_t kResampleSlice = 8192;  // source frames resampled at a time
// Resampling: soxr at 16-bit precision (its input is int16: 20 bits would keep nothing more),
// its passband ending at 80 % of the lower Nyquist frequency (speech has little up there), and its
// transforms at most 2^8 points.  soxr holds back output until a transform's block is full: at its
// default sizes that held 23 ms of a 22.05 kHz chunk's end on average (35 at most) where no
// resampling holds 11.5 (16); at 2^8 points 14.5 (20.5), for the same wideband score and CPU.
constexpr double kPassbandEnd = 0.8;
constexpr unsigned kLog2DftSize = 8;

float to_float(const unsigned char* p) {
    std::int16_t s;
    std::memcpy(&s, p, 2);
    return static_cast<float>(s) * (1.0f / 32768.0f);
}

std::int16_t to_int16(float x) {
    const float v = std::nearbyint(x * 32768.0f);
    if (!(v > -32768.0f)) return -32768;  // NaN included
    if (v > 32767.0f) return 32767;
    return static_cast<std::int16_t>(v);
}

[[noreturn]] void opus_failed(const char* what, int code) {
    throw Error(std::string(what) + ": " + opus_strerror(code));
}

}  // namespace

int opus_rate_for(int source_rate) {
    for (int r : kOpusRates)
        if (source_rate <= r) return r;
    return 48000;
}

int default_bitrate(int channels) { return 32000 * channels; }

// Stereo speech at complexity 6 costs 0.7 of the CPU of libopus's default 10 for a wideband PESQ
// 0.04 lower (bench/bench_codec.py: 1.3 % of a core against 1.8 %, 4.45 against 4.49); mono keeps
// 10, where 6 loses 0.17 (3.82 against 3.99 at 22.05 kHz) and 10 costs 1.4 %.
int complexity_for(int channels) { return channels == 2 ? 6 : 10; }

// ---------------------------------------------------------------------------------------------

Resampler::Resampler(double in_rate, double out_rate, int channels, bool int16_in)
    : channels_(static_cast<std::size_t>(channels)), in_bytes_(int16_in ? 2 : 4), ratio_(out_rate / in_rate) {
    const soxr_io_spec_t io = soxr_io_spec(int16_in ? SOXR_INT16_I : SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t q = soxr_quality_spec(SOXR_16_BITQ, 0);
    q.passband_end = kPassbandEnd;
    soxr_runtime_spec_t rt = soxr_runtime_spec(1);  // no threads of its own in the host
    rt.log2_min_dft_size = rt.log2_large_dft_size = kLog2DftSize;
    soxr_error_t err = nullptr;
    s_ = soxr_create(in_rate, out_rate, static_cast<unsigned>(channels), &err, &io, &q, &rt);
    if (err) {
        soxr_delete(s_);
        throw Error(std::string("resampler: ") + err);
    }
}

Resampler::~Resampler() { soxr_delete(s_); }

// Feeds `frames` input frames (none: the end of the input) and collects every output frame
// that soxr can give for them.
void Resampler::run(const unsigned char* in, std::size_t frames, std::vector<float>& out) {
    for (;;) {
        const std::size_t room = static_cast<std::size_t>(static_cast<double>(frames) * ratio_) + 256;
        const std::size_t base = out.size();
        out.resize(base + room * channels_);
        std::size_t used = 0, made = 0;
        const soxr_error_t err =
            soxr_process(s_, in, frames, in ? &used : nullptr, out.data() + base, room, &made);
        out.resize(base + made * channels_);
        if (err) throw Error(std::string("resampler: ") + err);
        if (in) {
            in += used * channels_ * in_bytes_;
            frames -= used;
        }
        if (made < room && frames == 0) return;
    }
}

void Resampler::process(const void* in, std::size_t frames, std::vector<float>& out) {
    if (frames) run(static_cast<const unsigned char*>(in), frames, out);
}

void Resampler::drain(std::vector<float>& out) { run(nullptr, 0, out); }

// ---------------------------------------------------------------------------------------------

Encoder::Encoder(int sample_rate, int channels, int bitrate)
    : rate_(sample_rate), channels_(channels), bitrate_(bitrate), opus_rate_(opus_rate_for(sample_rate)),
      frame_(opus_rate_ / kPacketsPerSecond), lookahead_(0), scale_(kClockRate / opus_rate_) {
    // Voice: the application libopus meant for it (at 64 kbit/s stereo it codes speech in its
    // hybrid mode, where the general-audio one takes the transform mode, which scores lower).
    int err = OPUS_OK;
    enc_ = opus_encoder_create(opus_rate_, channels_, OPUS_APPLICATION_VOIP, &err);
    if (err != OPUS_OK) opus_failed("encoder", err);
    try {
        if ((err = opus_encoder_ctl(enc_, OPUS_SET_BITRATE(bitrate_))) != OPUS_OK ||
            (err = opus_encoder_ctl(enc_, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE))) != OPUS_OK ||
            (err = opus_encoder_ctl(enc_, OPUS_SET_COMPLEXITY(complexity_for(channels_)))) != OPUS_OK ||
            (err = opus_encoder_ctl(enc_, OPUS_GET_LOOKAHEAD(&lookahead_))) != OPUS_OK)
            opus_failed("encoder", err);
        if (rate_ != opus_rate_) resampler_ = std::make_unique<Resampler>(rate_, opus_rate_, channels_, true);
        frame_buf_.resize(static_cast<std::size_t>(frame_) * static_cast<std::size_t>(channels_));
    } catch (...) {
        opus_encoder_destroy(enc_);
        throw;
    }
}

Encoder::~Encoder() { opus_encoder_destroy(enc_); }

void Encoder::encode(const unsigned char* data, std::size_t n, std::vector<Packet>& out, bool sync) {
    if (flushed_) throw std::invalid_argument("the stream has ended: flush() was called");
    const std::size_t frame_bytes = 2 * static_cast<std::size_t>(channels_);
    if (partial_len_) {
        const std::size_t take = std::min(frame_bytes - partial_len_, n);
        std::memcpy(partial_ + partial_len_, data, take);
        partial_len_ += take;
        data += take;
        n -= take;
        if (partial_len_ < frame_bytes) return;
        partial_len_ = 0;
        take_frames(partial_, 1, out);
    }
    take_frames(data, n / frame_bytes, out);
    partial_len_ = n % frame_bytes;
    std::memcpy(partial_, data + n - partial_len_, partial_len_);
    // Opus takes 10 ms frames in every mode (shorter ones force its transform mode, and the
    // switches to it and back are heard): what is short of a 20 ms one goes as one of those.  The
    // first packet stays whole: it alone starts inside the look-ahead.
    if (sync && packets_ && filled_ >= static_cast<std::size_t>(frame_ / 2)) emit(frame_ / 2, false, out);
}

void Encoder::take_frames(const unsigned char* pcm, std::size_t frames, std::vector<Packet>& out) {
    if (!frames) return;
    written_ += static_cast<std::int64_t>(frames);
    if (!resampler_) {
        append(frames, [pcm](std::size_t i) { return to_float(pcm + 2 * i); }, out);
        return;
    }
    // in slices, so that the resampled copy stays small whatever the chunk's size
    const std::size_t frame_bytes = 2 * static_cast<std::size_t>(channels_);
    for (std::size_t done = 0; done < frames;) {
        const std::size_t n = std::min(kResampleSlice, frames - done);
        scratch_.clear();
        resampler_->process(pcm + done * frame_bytes, n, scratch_);
        const float* y = scratch_.data();
        append(scratch_.size() / static_cast<std::size_t>(channels_), [y](std::size_t i) { return y[i]; }, out);
        done += n;
    }
}

// Hands `frames` frames at the Opus rate (sample i from load(i)) to the frame being filled,
// encoding each frame as it fills.
template <class Load>
void Encoder::append(std::size_t frames, Load load, std::vector<Packet>& out) {
    const auto ch = static_cast<std::size_t>(channels_);
    std::size_t i = 0;
    while (i < frames) {
        const std::size_t n = std::min(static_cast<std::size_t>(frame_) - filled_, frames - i);
        float* dst = frame_buf_.data() + filled_ * ch;
        for (std::size_t s = 0; s < n * ch; s++) dst[s] = load(i * ch + s);
        filled_ += n;
        i += n;
        coded_ += static_cast<std::int64_t>(n);
        if (filled_ == static_cast<std::size_t>(frame_)) emit(frame_, false, out);
    }
}

// The source sample that coded frame j (at the Opus rate) stands for.
std::int64_t Encoder::source_index(std::int64_t coded) const {
    if (!resampler_) return coded;
    return std::min(written_, coded * rate_ / opus_rate_);
}

// Encodes the first `frames` frames of the frame being filled.  A packet made of the coded
// frames [a, a + n) decodes to [a - P, a + n - P) (P the look-ahead): the first P decoded samples
// come before the stream, and whatever lies past the coded frames is padding.
void Encoder::emit(int frames, bool last, std::vector<Packet>& out) {
    Packet p;
    p.data.resize(kMaxPacketBytes);
    const int len = opus_encode_float(enc_, frame_buf_.data(), frames, p.data.data(), kMaxPacketBytes);
    if (len < 0) opus_failed("encode", len);
    p.data.resize(static_cast<std::size_t>(len));
    const std::int64_t from = fed_ - lookahead_;
    const std::int64_t hi = std::min(from + frames, coded_);
    const std::int64_t lo = std::min(std::max<std::int64_t>(from, 0), hi);
    p.skip = static_cast<int>(lo - from) * scale_;
    p.keep = static_cast<int>(hi - lo) * scale_;
    p.start = source_index(lo);
    p.end = last ? written_ : source_index(hi);
    out.push_back(std::move(p));
    packets_++;
    fed_ += frames;
    const auto ch = static_cast<std::size_t>(channels_);
    const auto rest = filled_ > static_cast<std::size_t>(frames) ? filled_ - static_cast<std::size_t>(frames) : 0;
    std::copy_n(frame_buf_.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(frames) * ch), rest * ch,
                frame_buf_.begin());
    filled_ = rest;
}

void Encoder::flush(std::vector<Packet>& out) {
    if (flushed_) return;
    partial_len_ = 0;
    if (resampler_) {
        scratch_.clear();
        resampler_->drain(scratch_);
        const float* y = scratch_.data();
        append(scratch_.size() / static_cast<std::size_t>(channels_), [y](std::size_t i) { return y[i]; }, out);
    }
    // Silence after the stream until every coded frame has come out of the decoder.
    while (coded_ > 0 && fed_ - lookahead_ < coded_) {
        const auto ch = static_cast<std::size_t>(channels_);
        std::fill(frame_buf_.begin() + static_cast<std::ptrdiff_t>(filled_ * ch), frame_buf_.end(), 0.0f);
        filled_ = static_cast<std::size_t>(frame_);
        emit(frame_, fed_ + frame_ - lookahead_ >= coded_, out);
    }
    flushed_ = true;
}

// ---------------------------------------------------------------------------------------------

Decoder::Decoder(int sample_rate, int channels)
    : rate_(sample_rate), channels_(channels), opus_rate_(opus_rate_for(sample_rate)),
      scale_(kClockRate / opus_rate_) {
    int err = OPUS_OK;
    dec_ = opus_decoder_create(opus_rate_, channels_, &err);
    if (err != OPUS_OK) opus_failed("decoder", err);
    try {
        if (rate_ != opus_rate_) resampler_ = std::make_unique<Resampler>(opus_rate_, rate_, channels_, false);
        decoded_.resize(static_cast<std::size_t>(opus_rate_ / kMaxDecodedPerSecond) * static_cast<std::size_t>(channels_));
    } catch (...) {
        opus_decoder_destroy(dec_);
        throw;
    }
}

Decoder::~Decoder() { opus_decoder_destroy(dec_); }

void Decoder::decode(const Packet& p, std::vector<std::int16_t>& out) {
    if (flushed_) throw std::invalid_argument("the stream has ended: flush() was called");
    if (p.start != next_start_)
        throw std::invalid_argument("packet starts at sample " + std::to_string(p.start) + ", the stream is at " +
                                    std::to_string(next_start_));
    if (p.skip % scale_ || p.keep % scale_)
        throw std::invalid_argument("skip and keep of a stream coded at " + std::to_string(opus_rate_) +
                                    " Hz are multiples of " + std::to_string(scale_));
    const int frames_max = opus_rate_ / kMaxDecodedPerSecond;
    const int n = opus_decode_float(dec_, p.data.data(), static_cast<opus_int32>(p.data.size()), decoded_.data(),
                                    frames_max, 0);
    if (n == OPUS_INVALID_PACKET) throw std::invalid_argument("not an Opus packet");
    if (n < 0) opus_failed("decode", n);
    const int skip = p.skip / scale_, keep = p.keep / scale_;
    if (skip + keep > n)
        throw std::invalid_argument("skip + keep (" + std::to_string(p.skip + p.keep) + ") exceed the packet's " +
                                    std::to_string(n * scale_) + " samples");
    const auto ch = static_cast<std::size_t>(channels_);
    const float* kept = decoded_.data() + static_cast<std::size_t>(skip) * ch;
    if (resampler_)
        resampler_->process(kept, static_cast<std::size_t>(keep), held_);
    else
        held_.insert(held_.end(), kept, kept + static_cast<std::size_t>(keep) * ch);
    next_start_ = p.end;
    release(next_start_, out);
}

void Decoder::flush(std::vector<std::int16_t>& out) {
    if (flushed_) return;
    if (resampler_) resampler_->drain(held_);
    release(next_start_, out);
    out.insert(out.end(), static_cast<std::size_t>(next_start_ - emitted_) * static_cast<std::size_t>(channels_), 0);
    emitted_ = next_start_;
    held_.clear();
    flushed_ = true;
}

// Gives out the held frames up to source sample `limit`.
void Decoder::release(std::int64_t limit, std::vector<std::int16_t>& out) {
    const auto ch = static_cast<std::size_t>(channels_);
    const auto n = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(held_.size() / ch),
                                                                    limit - emitted_));
    const std::size_t base = out.size();
    out.resize(base + n * ch);
    std::transform(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(n * ch), out.begin() + static_cast<std::ptrdiff_t>(base), to_int16);
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(n * ch));
    emitted_ += static_cast<std::int64_t>(n);
}

}  // namespace codec
