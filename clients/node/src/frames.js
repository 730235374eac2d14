// The helper's standard output: a 16-byte header, then float32 frames with no framing, at the rate and
// channel count the header announces (48 kHz stereo unless the helper was asked for another format).
import { endianness } from 'node:os';

export const HEADER_SIZE = 16;
export const FRAME_SIZE = 8; // the default format's frame: two float32 samples, channel 0, channel 1
export const SAMPLE_RATE = 48000;
export const CHANNELS = 2;
/** The rates the helper can be asked for. */
export const RATES = Object.freeze([8000, 16000, 22050, 24000, 32000, 44100, 48000]);

/**
 * Checks the 16 header bytes against the format asked for (default: 48 kHz stereo).
 * @returns {null | {field: string, expected: string|number, actual: string|number}} the first bad field
 */
export function checkHeader(bytes, { sampleRate = SAMPLE_RATE, channels = CHANNELS } = {}) {
  const view = Buffer.from(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  if (view.length < HEADER_SIZE) {
    return { field: 'length', expected: HEADER_SIZE, actual: view.length };
  }
  const expectedFields = [
    ['magic', 0, 'LBAS'],
    ['sampleRate', 4, sampleRate],
    ['channels', 8, channels],
    ['bitsPerSample', 12, 32],
  ];
  for (const [field, at, expected] of expectedFields) {
    const actual = typeof expected === 'string' ? view.toString('latin1', at, at + 4) : view.readUInt32LE(at);
    if (actual !== expected) return { field, expected, actual };
  }
  return null;
}

const littleEndian = endianness() === 'LE';

/**
 * Turns byte chunks of any size into Float32Arrays of whole interleaved frames. A chunk that starts on
 * a frame boundary at an aligned address is viewed in place; only a frame split across chunks (or a
 * misaligned chunk) makes a copy. The bytes of a trailing partial frame are kept for the next chunk.
 */
export class FrameAssembler {
  #frameSize;
  #carry;
  #have = 0;

  constructor(frameSize = FRAME_SIZE) {
    this.#frameSize = frameSize;
    this.#carry = new Uint8Array(frameSize);
  }

  /** Bytes of an incomplete frame held back. */
  get pendingBytes() {
    return this.#have;
  }

  /** @returns {Float32Array|null} the whole frames completed by this chunk */
  push(chunk) {
    const total = this.#have + chunk.length;
    const whole = total - (total % this.#frameSize);
    let samples = null;
    if (whole > 0) {
      const used = whole - this.#have; // bytes of this chunk that go into whole frames
      if (this.#have === 0 && chunk.byteOffset % 4 === 0 && littleEndian) {
        samples = new Float32Array(chunk.buffer, chunk.byteOffset, whole / 4);
      } else {
        const bytes = new Uint8Array(whole);
        bytes.set(this.#carry.subarray(0, this.#have));
        bytes.set(chunk.subarray(0, used), this.#have);
        samples = littleEndian ? new Float32Array(bytes.buffer) : fromLittleEndian(bytes);
      }
      this.#have = 0;
      chunk = chunk.subarray(used);
    }
    this.#carry.set(chunk, this.#have);
    this.#have += chunk.length;
    return samples;
  }
}

function fromLittleEndian(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const samples = new Float32Array(bytes.byteLength / 4);
  for (let i = 0; i < samples.length; i++) samples[i] = view.getFloat32(i * 4, true);
  return samples;
}
