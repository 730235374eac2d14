// Shared by the tests: which helper to run, scenarios for the simulated engine, the expected ramp, and
// watching a process that is not our child.
import { readFileSync } from 'node:fs';
import { dirname, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

import { startCapture } from '../src/index.js';

const repo = resolve(dirname(fileURLToPath(import.meta.url)), '../../..');
export const HELPER = process.env.AUDIO_HELPER_PATH || resolve(repo, 'build/native/audio-helper-sim');

// Generous: the machine is small and shared.
export const WAIT_MS = 30000;

export const RAMP_PERIOD = 2 ** 24; // frame n holds n mod 2^24 on channel 0, its negation on channel 1

export function simEnv(scenario) {
  const env = { ...process.env, AUDIO_HELPER_SIM: scenario };
  delete env.AUDIO_HELPER_PATH;
  return env;
}

export function capture(scenario, options = {}) {
  return startCapture({ helperPath: HELPER, env: simEnv(scenario), ...options });
}

/**
 * Checks chunks of a ramp stream as they come, packet by packet as the simulated engine makes them:
 * numbered from 1, a silent packet is zeros but still advances the ramp, the empty packet has no frames.
 */
export class RampChecker {
  frame = 0; // frames checked
  #ramp = 0; // the ramp value of the next frame
  #packet = 0;
  #left = 0; // frames left in the current packet
  #silent = false;

  constructor({ frames = 480, silentEvery = 0, zeroPacketAt = 0 } = {}) {
    Object.assign(this, { packetFrames: frames, silentEvery, zeroPacketAt });
  }

  /** @returns null, or a description of the first wrong sample */
  check(samples) {
    if (samples.length % 2 !== 0) return `a chunk of ${samples.length} samples is not whole frames`;
    for (let i = 0; i < samples.length; i += 2, this.frame++, this.#ramp++, this.#left--) {
      while (this.#left === 0) {
        this.#packet++;
        this.#left = this.#packet === this.zeroPacketAt ? 0 : this.packetFrames;
        this.#silent = this.silentEvery > 0 && this.#packet % this.silentEvery === 0;
      }
      const value = this.#silent ? 0 : this.#ramp % RAMP_PERIOD;
      // Silence is all-zero bytes: +0, never -0.
      const right = this.#silent ? 0 : -value;
      if (!Object.is(samples[i], value) || !Object.is(samples[i + 1], right)) {
        return `frame ${this.frame} (packet ${this.#packet}): expected [${value}, ${right}], got [${samples[i]}, ${samples[i + 1]}]`;
      }
    }
    return null;
  }
}

/**
 * Reads a capture, checking every frame; once `frames` frames have arrived it asks the helper to stop and
 * reads on to the end of the stream. Resolves with how the capture ended and the frames counted.
 */
export async function readRamp(cap, frames, checker = new RampChecker(), { onChunk } = {}) {
  let stopping = false;
  for await (const samples of cap) {
    const problem = checker.check(samples);
    if (problem) throw new Error(problem);
    if (onChunk) await onChunk(samples);
    if (checker.frame >= frames && !stopping) {
      stopping = true;
      cap.stop({ timeoutMs: WAIT_MS });
    }
  }
  return { end: await cap.ended, counted: checker.frame };
}

/** Whether a process exists and is not a zombie waiting for its (new) parent to reap it. */
export function alive(pid) {
  try {
    const stat = readFileSync(`/proc/${pid}/stat`, 'latin1');
    return stat.slice(stat.lastIndexOf(')') + 2)[0] !== 'Z';
  } catch {
    return false;
  }
}

/** Waits until `pid` is gone, polling /proc, up to `ms`. */
export async function gone(pid, ms = WAIT_MS) {
  const deadline = Date.now() + ms;
  while (alive(pid)) {
    if (Date.now() > deadline) return false;
    await new Promise((r) => setTimeout(r, 20));
  }
  return true;
}

export function killQuietly(pid) {
  try {
    process.kill(pid, 'SIGKILL');
  } catch {
    // gone
  }
}
