// The stream engine seam: what a player's stream ingest (stream-ingest.js) sees
// of the engine that plays its streams, whichever the page picked
// (audio-engine.js). An engine runs one PcmRing (pcm-ring.js) and renders it
// to the output node it was given:
//   WorkletEngine (below)          an AudioWorkletNode; the ring runs on the audio
//                                  rendering thread (pcm-worklet.js)
//   ScheduledOutput (scheduled-output.js)  the ring on the main thread, its blocks
//                                  scheduled as buffers on the context clock
//
// The interface:
//   new Engine(ctx, output, settings, env?)  settings: jitter-policy.js settingsFrom()
//                      plus expectedSeconds; env: {clock, timers} where the engine needs them
//   Engine.lookAheadSeconds   how far ahead of the clock that stamps arrivals it
//                      renders; the ring's jitter buffer adds it (settings.lookAheadSeconds)
//   port               postMessage(msg, transfer?) to the ring (pcm-ring.js lists the
//                      messages), onmessage({data}) from it, in order
//   release()          the engine stops for good: nothing more plays or is reported
// Every message from the ring passes fromRing(): a stream's end reaches the owner as
//   {type: "ended", report, lastAt, received, lesson, headStart}
// with report the payload of "web-audio-ended" (endReport), already corrected by
// what the engine rendered and the output never played; the owner only forwards it.
//
// What comes in front of the ring is the ingest's stage (pcm-stage.js): whatever
// the frames carried, the ring takes PCM and counts in samples of what was
// written, at the stream's own rate.

import { RING_PROCESSOR } from "./pcm-ring.js";
import { round } from "./util.js";

/**
 * The "web-audio-ended" payload of a stream's end as the ring saw it (its
 * "ended" message, or {source, reason, played, dropped, underruns[, lost, gaps, skipped]}):
 * `unheard` seconds that were rendered but cut from the output count as
 * dropped, not played.
 */
export function endReport(end, unheard = 0) {
  const late = end.reason === "closed" ? unheard : 0;
  const report = { source: end.source, reason: end.reason, played: round(Math.max(0, end.played - late), 3) };
  if (end.reason === "closed") report.dropped = round(end.dropped + late, 3);
  if (end.source === "push" && end.lost !== undefined) {
    // what was written and will never be heard: the gaps the host could not resend, late audio skipped, the cap
    report.lost = round(end.lost, 3);
    report.gaps = end.gaps.map((g) => ({ at: round(g.at, 3), seconds: round(g.seconds, 3) }));
    if (end.skipped > 0) report.skipped = round(end.skipped, 3);
  }
  report.underruns = end.underruns;
  return report;
}

export class StreamEngine {
  static lookAheadSeconds = 0;

  /** @param {object} settings  the ring's settings; the engine's look-ahead is added */
  constructor(settings) {
    this.settings = { ...settings, lookAheadSeconds: this.constructor.lookAheadSeconds };
    this.unheard = 0; // seconds of the stream ending now that were rendered and will not be heard
    this.port = {
      onmessage: null,
      postMessage: (msg, transfer) => this.toRing(msg, transfer),
    };
  }

  /** A message for the ring. */
  toRing(msg, transfer) {
    throw new Error(`${this.constructor.name} does not take ${msg.type}`);
  }

  /** A message from the ring, on its way to the owner. */
  fromRing(msg) {
    if (msg.type === "ended") {
      msg = { type: "ended", report: endReport(msg, this.unheard), lastAt: msg.lastAt, received: msg.received,
        lesson: msg.lesson, headStart: msg.headStart };
    }
    this.deliver(msg);
  }

  deliver(msg) {
    if (this.port.onmessage) this.port.onmessage({ data: msg });
  }

  release() {
    this.port.onmessage = null;
  }
}

/** The ring on the audio rendering thread, in an AudioWorkletNode: it renders when the audio callback runs,
 * after the paired clock (audio-engine.js contextNow) has reached the block's first sample, so a frame in
 * by its play time on that clock is in the ring when it is rendered: no look-ahead. */
export class WorkletEngine extends StreamEngine {
  constructor(ctx, output, settings) {
    super(settings);
    this.node = new AudioWorkletNode(ctx, RING_PROCESSOR, {
      numberOfInputs: 0,
      numberOfOutputs: 1,
      outputChannelCount: [2],
      processorOptions: this.settings,
    });
    this.node.connect(output);
    this.node.port.onmessage = (e) => this.fromRing(e.data);
  }

  toRing(msg, transfer) {
    this.node.port.postMessage(msg, transfer || []);
  }

  release() {
    this.node.port.postMessage({ type: "release" }); // its processor stops
    this.node.disconnect();
    this.node.port.onmessage = null;
    super.release();
  }
}
