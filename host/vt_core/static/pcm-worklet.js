// The stream engine on the audio rendering thread: an AudioWorkletProcessor
// that renders one PcmRing (pcm-ring.js, where the messages are described)
// per player, one render quantum at a time. Its main-thread side is
// WorkletEngine (stream-engine.js).

import { PcmRing, RING_PROCESSOR } from "./pcm-ring.js";

class PcmRingProcessor extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const o = (options && options.processorOptions) || {};
    this.ring = new PcmRing(o, sampleRate, (msg) => this.port.postMessage(msg));
    this.port.onmessage = (e) => this.ring.onMessage(e.data);
  }

  process(inputs, outputs) {
    if (this.ring.released) return false;
    const out = outputs[0];
    this.ring.render(out[0], out.length > 1 ? out[1] : null, currentTime);
    return true;
  }
}

registerProcessor(RING_PROCESSOR, PcmRingProcessor);
