"""Opus on the wire: coded once in the host for the pages that decode it, PCM for the others."""

import asyncio
import json

import aiohttp
import numpy as np
import pytest

from vt_core import opus

from .test_server import receive

_codec = pytest.importorskip("veltrane.vt_ui._codec")


def speechlike(seconds: float, rate: int, channels: int) -> bytes:
    t = np.arange(int(seconds * rate)) / rate
    x = 8000 * np.sin(2 * np.pi * 220 * t) * (1 + np.sin(2 * np.pi * 3 * t)) / 2
    return np.repeat(x.astype("<i2")[:, None], channels, axis=1).tobytes()


async def frames_until_quiet(ws, quiet: float = 0.5) -> list:
    out = []
    while True:
        try:
            msg = await asyncio.wait_for(ws.receive(), quiet)
        except asyncio.TimeoutError:
            return out
        out.append(json.loads(msg.data) if isinstance(msg.data, str) else msg.data)


@pytest.mark.parametrize("rate,channels,options", [(22050, 1, {}), (48000, 2, {"bitrate": 48000}),
                                                    (16000, 1, {"codec": "pcm"})])
def test_one_stream_coded_once_and_decoded_to_its_length(server, cm, wa, rate, channels, options):
    p = wa.web_audio(**options)
    pcm = speechlike(0.7, rate, channels)
    chunks = [pcm[i:i + 4096] for i in range(0, len(pcm), 4096)]
    coded = options.get("codec") != "pcm"

    async def main():
        async with aiohttp.ClientSession() as session, \
                session.ws_connect(server.ws_url) as plain, session.ws_connect(server.ws_url + "&codecs=opus") as ws:
            [_, plain_stream] = await receive(plain, 2)
            [_, stream] = await receive(ws, 2)
            assert "codec" not in plain_stream and stream["codec"] == "pcm"  # no stream coded yet
            p.send_audio_metadata(rate, channels)
            for chunk in chunks:
                p.stream_binary(chunk)
            return await frames_until_quiet(plain), await frames_until_quiet(ws)

    sent_before = server.hub.opus.frames_sent
    plain, got = asyncio.run(main())
    assert plain[1:] == chunks  # the PCM page: the frames as written, nothing more
    meta, notice, *binary = got
    assert notice["codec"] == ("opus" if coded else "pcm") and notice["metadata"] == {"sample_rate": rate,
                                                                                          "channels": channels}
    if not coded:
        assert binary == chunks
        return
    heads = [opus.parse(f) for f in binary]
    assert server.hub.opus.frames_sent - sent_before == len(binary)  # once, for one page or many
    assert [h["flags"] for h in heads] == [opus.FIRST] + [0] * (len(heads) - 2) + [opus.LAST]  # tail flushed
    at = 0
    for h in heads:  # the positions follow each other and cover every written frame
        assert (h["position"], h["channels"]) == (at, channels)
        at += h["frames"]
    assert at == len(pcm) // (2 * channels)
    assert heads[0]["skip"] == 312 and sum(len(x) for h in heads for x in h["packets"]) < len(pcm) / 8
    # the packets, skips and keeps are those of the stream coded on its own; the kept samples
    # stand for the written ones
    encoder = _codec.OpusEncoder(rate, channels, options.get("bitrate"))
    alone = [q for chunk in chunks for q in encoder.encode(chunk)] + encoder.flush()
    framed = []
    for h in heads:
        for i, x in enumerate(h["packets"]):
            skip = h["skip"] if i == 0 else 0
            framed.append((x, skip, h["keep"] if i == len(h["packets"]) - 1 else 960 - skip))
    assert framed == [(q.data, q.skip, q.keep) for q in alone]
    assert abs(sum(keep for *_, keep in framed) * rate / 48000 - at) < 2


@pytest.mark.parametrize("query,expected", [("opus", {"opus"}), ("flac,opus", {"opus"}), ("", set()),
                                            (None, set()), ("OPUS", set())])
def test_what_a_page_may_ask_for(query, expected):
    assert opus.page_codecs(query) == expected


@pytest.mark.parametrize("frame", [b"", b"\x4f" * 10, opus.HEAD.pack(0x4F, 0, 1, 1, 0, 0, 0, 0, 0) + b"\x05\x00"])
def test_what_is_no_headed_frame(frame):
    with pytest.raises(ValueError):
        opus.parse(frame)
