"""The Opus stream codec: sample accounting over any chunking, alignment, bad input, the GIL."""

from __future__ import annotations

import inspect
import os
import threading
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

try:
    from veltrane.vt_ui import _codec
except ImportError:
    if os.environ.get("CI"):
        raise
    pytest.skip("the codec module was not built (it needs libopus-dev and libsoxr-dev)", allow_module_level=True)

# (rate, channels): Opus's own rates pass through, the others are resampled
FORMATS = [(22050, 1), (48000, 2), (16000, 1), (44100, 2), (11025, 1), (8000, 2), (96000, 1)]
PACKET = _codec.CLOCK_RATE // 50  # every packet decodes to 20 ms


def speechlike(frames: int, rate: int, channels: int, seed: int = 0) -> np.ndarray:
    """Harmonics of a gliding pitch under a syllable envelope, with a little noise: int16 interleaved."""
    t = np.arange(frames) / rate
    f0 = 140 + 40 * np.sin(2 * np.pi * 0.7 * t)
    phase = 2 * np.pi * np.cumsum(f0) / rate
    voice = sum(np.sin(k * phase) / k for k in range(1, 12) if k * 160 < rate / 2)
    envelope = 0.5 + 0.5 * np.sin(2 * np.pi * 3 * t) ** 2
    noise = np.random.default_rng(seed).normal(0, 0.05, frames)
    mono = (voice * envelope + noise) * 6000
    return np.repeat(np.clip(mono, -32767, 32767).astype(np.int16)[:, None], channels, 1).ravel()


#: A synced chunk leaves less than 10 ms and the look-ahead (6.5 ms) uncoded (and what the resampler holds,
#: at the rates Opus does not take).
SYNC_HOLD = 0.0165


def encode(pcm: bytes, rate: int, channels: int, cuts=(), bitrate=None, sync=False) -> list:
    enc = _codec.OpusEncoder(rate, channels, bitrate)
    packets, prev = [], 0
    for cut in [*cuts, len(pcm)]:
        packets += enc.encode(pcm[prev:cut], sync=sync)
        if sync and packets and rate == enc.opus_rate:  # (the first packet is always a whole one)
            assert cut // (2 * channels) - packets[-1].end <= SYNC_HOLD * rate
        prev = cut
    return packets + enc.flush()


def decode(packets, rate: int, channels: int) -> np.ndarray:
    dec = _codec.OpusDecoder(rate, channels)
    out = b""
    for p in packets:
        out += dec.decode(p)
        assert len(out) <= p.end * 2 * channels  # never ahead of what the packets stood for
    return np.frombuffer(out + dec.flush(), np.int16)


def fields(packets) -> list[tuple]:
    return [(p.data, p.start, p.end, p.skip, p.keep) for p in packets]


@pytest.mark.parametrize("rate,channels", FORMATS)
@settings(max_examples=50, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_packets_account_for_every_sample_written_whatever_the_chunking(rate, channels, data):
    frames = data.draw(st.integers(0, rate // 2), label="frames")
    tail = data.draw(st.integers(0, 2 * channels - 1), label="bytes past the last whole frame")
    pcm = speechlike(frames, rate, channels).tobytes() + bytes(tail)
    cuts = sorted(data.draw(st.lists(st.integers(0, len(pcm)), max_size=12), label="cuts"))
    sync = data.draw(st.booleans(), label="sync")  # what is short of 20 ms coded at each chunk's end

    packets = encode(pcm, rate, channels, cuts, sync=sync)
    if not sync:
        assert fields(packets) == fields(encode(pcm, rate, channels))  # the chunking changes nothing
    if frames == 0:
        assert packets == []
        assert len(decode(packets, rate, channels)) == 0
        return
    enc = _codec.OpusEncoder(rate, channels)
    assert [p.start for p in packets] == [0] + [p.end for p in packets[:-1]]
    assert packets[-1].end == frames
    assert [p.skip for p in packets] == [enc.pre_skip] + [0] * (len(packets) - 1)
    sizes = {PACKET, PACKET // 2} if sync else {PACKET}  # 20 and 10 ms
    assert all(p.skip + p.keep in sizes for p in packets[:-1]) and 0 < packets[-1].skip + packets[-1].keep <= PACKET
    # the kept decoded time is the written time, to one sample at the coded rate
    step = _codec.CLOCK_RATE // enc.opus_rate
    assert abs(sum(p.keep for p in packets) - frames * _codec.CLOCK_RATE / rate) <= step
    assert all(p.keep % step == 0 and p.skip % step == 0 for p in packets)
    assert len(decode(packets, rate, channels)) == frames * channels


@pytest.mark.parametrize("sync", [False, True])
@pytest.mark.parametrize("rate,channels", FORMATS)
def test_decoded_speech_lines_up_with_the_source(rate, channels, sync):
    # A look-ahead left in or cut twice shifts the audio by 6.5 ms: the envelope of a burst after
    # the round trip peaks where the source's does, within 2 ms.
    frames = rate
    x = speechlike(frames, rate, channels).reshape(-1, channels)[:, 0].astype(float)
    x *= np.exp(-(((np.arange(frames) - 0.43 * rate) / (0.01 * rate)) ** 2))  # a 20 ms burst
    pcm = np.repeat(x.astype(np.int16)[:, None], channels, 1).ravel().tobytes()
    y = decode(encode(pcm, rate, channels, cuts=range(4096, len(pcm), 4096), sync=sync), rate, channels)
    y = y.reshape(-1, channels)[:, 0].astype(float)
    win = np.ones(max(rate // 1000, 1))
    shift = np.argmax(np.convolve(np.abs(y), win, "same")) - np.argmax(np.convolve(np.abs(x), win, "same"))
    assert abs(shift) <= 0.002 * rate, shift
    assert np.sqrt(np.mean((y - x) ** 2)) < 0.7 * np.sqrt(np.mean(x**2))  # the burst itself, not noise


def test_flush_ends_the_stream():
    enc = _codec.OpusEncoder(22050, 1)
    assert enc.encode(bytes(4096)) != [] and enc.flush() != []
    assert enc.flush() == []
    with pytest.raises(ValueError, match="flush"):
        enc.encode(bytes(2))
    dec = _codec.OpusDecoder(22050, 1)
    dec.flush()
    with pytest.raises(ValueError, match="flush"):
        dec.decode(_codec.Packet(b"", 0, 0, 0, 0))


def test_options_and_defaults():
    for rate, channels, bitrate, opus_rate, kbits in [(22050, 1, None, 24000, 32), (48000, 2, None, 48000, 64),
                                                      (44100, 1, 24000, 48000, 24), (11025, 2, 6000, 12000, 6)]:
        enc = _codec.OpusEncoder(rate, channels, bitrate=bitrate)
        assert (enc.sample_rate, enc.channels, enc.bitrate, enc.opus_rate) == (rate, channels, kbits * 1000, opus_rate)
        assert _codec.OpusDecoder(rate, channels).opus_rate == opus_rate
    pcm = speechlike(48000, 48000, 1).tobytes()
    default, low = (sum(len(p.data) for p in encode(pcm, 48000, 1, bitrate=b)) for b in (None, 12000))
    assert low < 0.5 * default


def test_every_callable_shows_its_signature_and_doc():
    for obj in (_codec.OpusEncoder, _codec.OpusDecoder, _codec.Packet, _codec.OpusEncoder.encode,
                _codec.OpusEncoder.flush, _codec.OpusDecoder.decode, _codec.OpusDecoder.flush):
        assert inspect.signature(obj) and obj.__doc__.strip(), obj
    assert list(inspect.signature(_codec.OpusEncoder).parameters) == ["sample_rate", "channels", "bitrate"]


def first_packets(rate=22050):
    return encode(bytes(8192), rate, 1)


BAD = [
    (lambda: _codec.OpusEncoder(999, 1), ValueError, "sample_rate must be from 1000 to 384000 Hz, not 999"),
    (lambda: _codec.OpusEncoder(384001, 1), ValueError, "sample_rate must be"),
    (lambda: _codec.OpusDecoder(22050, 0), ValueError, "channels must be 1 or 2, not 0"),
    (lambda: _codec.OpusEncoder(22050, 3), ValueError, "channels must be 1 or 2, not 3"),
    (lambda: _codec.OpusEncoder(22050, 1, 5999), ValueError, "bitrate must be from 6000 to 510000 bit/s"),
    (lambda: _codec.OpusEncoder(22050.0, 1), TypeError, "integer"),
    (lambda: _codec.OpusEncoder(22050, 1, "64k"), TypeError, "integer"),
    (lambda: _codec.OpusEncoder(22050), TypeError, "channels"),
    (lambda: _codec.OpusEncoder(22050, 1).encode("pcm"), TypeError, "bytes-like"),
    (lambda: _codec.OpusEncoder(22050, 1).encode(memoryview(bytes(8))[::2]), BufferError, "contiguous"),
    (lambda: _codec.OpusDecoder(22050, 1).decode(first_packets()[0].data), TypeError, "takes a Packet, not bytes"),
    (lambda: _codec.OpusDecoder(22050, 1).decode(first_packets()[1]), ValueError, r"starts at sample \d+, the stream is at 0"),
    (lambda: _codec.OpusDecoder(22050, 1).decode(_codec.Packet(b"\x03", 0, 1, 0, 2)), ValueError, "not an Opus packet"),
    (lambda: _codec.OpusDecoder(22050, 1).decode(_codec.Packet(first_packets()[0].data, 0, 9, 1, 2)), ValueError,
     "multiples of 2"),
    (lambda: _codec.OpusDecoder(16000, 1).decode(_codec.Packet(first_packets(16000)[0].data, 0, 9, 312, 960)),
     ValueError, r"skip \+ keep \(1272\) exceed the packet's 960 samples"),
    (lambda: _codec.Packet(b"", 5, 4, 0, 0), ValueError, "start <= end"),
    (lambda: _codec.Packet(b"", 0, 0, -1, 0), ValueError, "skip, keep >= 0"),
    (lambda: _codec.Packet(7, 0, 0, 0, 0), TypeError, "bytes"),
]


@pytest.mark.parametrize("call,error,message", BAD, ids=[m for _, _, m in BAD])
def test_bad_input_is_refused_with_a_clear_error(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_encoding_releases_the_gil():
    # The main thread keeps running while another thread is inside encode(); were the GIL held,
    # its timestamps would show one gap as long as the call.
    pcm = speechlike(48000 * 20, 48000, 2).tobytes()
    enc = _codec.OpusEncoder(44100, 2)  # resampled: the whole path
    window, stamps = [], []

    def work():
        window.append(time.perf_counter())
        enc.encode(pcm)
        window.append(time.perf_counter())

    worker = threading.Thread(target=work)
    worker.start()
    while worker.is_alive():
        stamps.append(time.perf_counter())
    worker.join()
    points = [window[0], *(t for t in stamps if window[0] < t < window[1]), window[1]]
    longest = max(b - a for a, b in zip(points, points[1:]))
    assert longest < 0.5 * (window[1] - window[0]), (longest, window[1] - window[0])
