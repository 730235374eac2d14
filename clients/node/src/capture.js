import { spawn } from 'node:child_process';
import { Readable } from 'node:stream';

import { CAPTURE_STARTED_LINE, LineSplitter, parseLine } from './diagnostics.js';
import { abortError, badHeaderError, exitError, killedError, spawnError, stoppedError } from './errors.js';
import { CHANNELS, FrameAssembler, HEADER_SIZE, RATES, SAMPLE_RATE, checkHeader } from './frames.js';
import { defaultHelperPath } from './helper-path.js';
import { adopt, release } from './lifetime.js';
import { FrameClock, STATUS_EVENTS, StatusLines } from './status.js';

export const DEFAULT_STOP_TIMEOUT_MS = 3000;

/**
 * How far the capture's end has gone. The state only moves along these edges, all taken in #enter:
 *
 *   running   the helper sets up or captures; its pipe is read at the consumer's pace
 *   stopping  stop() asked it to end (SIGINT); the pipe is read regardless of the consumer
 *   forcing   it is being killed: the stop time-out, a stop on Windows, an abort, a bad header
 *   ended     it has closed its pipes (or never started) and `ended` has resolved
 *
 * Whether the capture has started is not a state: a helper asked to stop during set-up may still finish
 * it, and that follows from its output (the header, the lines) alone.
 */
const EDGES = {
  running: ['stopping', 'forcing', 'ended'],
  stopping: ['forcing', 'ended'],
  forcing: ['ended'],
  ended: [],
};

function isPid(value) {
  return Number.isInteger(value) && value >= 0 && value <= 0xffffffff;
}

/**
 * The helper's arguments for the options, checked first: a wrong value throws here, before anything is
 * started. Left at their defaults, the options give the call with the process id alone.
 */
function helperArguments({ excludePid, include, pids, rate, channels }) {
  if (!isPid(excludePid)) throw new TypeError(`excludePid must be a process id, not ${excludePid}`);
  if (typeof include !== 'boolean') throw new TypeError(`include must be true or false, not ${include}`);
  if (!Array.isArray(pids) || !pids.every((pid) => isPid(pid) && pid > 0)) {
    throw new TypeError(`pids must be an array of process ids from 1 up, not ${pids}`);
  }
  if (pids.length > 0 && !include && process.platform === 'win32') {
    // One Windows client leaves out one tree, and clients leaving out one each would let the others in.
    throw new RangeError('pids without include: Windows can leave out only one process tree');
  }
  if (!RATES.includes(rate)) throw new RangeError(`rate must be one of ${RATES.join(', ')}, not ${rate}`);
  if (channels !== 1 && channels !== 2) throw new RangeError(`channels must be 1 or 2, not ${channels}`);
  const args = [String(excludePid)];
  for (const pid of pids) args.push('--pid', String(pid));
  if (include) args.push('--include');
  if (rate !== SAMPLE_RATE) args.push('--rate', String(rate));
  if (channels !== CHANNELS) args.push('--channels', String(channels));
  return args;
}

/**
 * One run of the helper. The capture itself is the audio: an object-mode Readable whose chunks are
 * Float32Arrays of whole interleaved frames (stereo: left, right, left, right, ...; mono: one sample a
 * frame) at the rate asked for.
 */
export class Capture extends Readable {
  /** Resolves when the helper printed its last set-up line and sent a valid header. */
  started;
  /** Resolves (never rejects) once the helper has exited and all of its output has been read. */
  ended;
  /** Every diagnostic line so far, recognised. */
  stages = [];
  /** Whole frames handed out so far. */
  frames = 0;
  /** The stream's format: what was asked for, and what the header must announce. */
  format;
  /** The status channel's start event (rate, channels, the clock at frame 0 and its unit), once it came. */
  status = null;
  /** The status channel's end event (why, frames written), once it came. */
  statusEnd = null;
  /** Stream frames to the monotonic clock, fitted on the sync pairs. */
  clock = new FrameClock();

  #child = null;
  #header = new Uint8Array(HEADER_SIZE); // null once a valid header has come
  #headerHave = 0;
  #assembler;
  #lines = new LineSplitter();
  #resolveStarted;
  #rejectStarted;
  #resolveEnded;
  #path = ['running']; // every state entered, in order; the last is the state, and `ended` reads the rest
  #failure = null; // the error the capture ends with, if any
  #stopTimer = null;
  #statusLines = new StatusLines();
  #signal;
  #onAbort = () => this.#abort();

  constructor({
    excludePid = process.pid,
    include = false,
    pids = [],
    rate = SAMPLE_RATE,
    channels = CHANNELS,
    helperPath = defaultHelperPath(),
    signal,
    env,
    highWaterMark = 8,
  } = {}) {
    const args = helperArguments({ excludePid, include, pids, rate, channels });
    super({ objectMode: true, highWaterMark });
    this.format = Object.freeze({ sampleRate: rate, channels });
    this.#assembler = new FrameAssembler(4 * channels);
    this.started = new Promise((resolve, reject) => {
      this.#resolveStarted = resolve;
      this.#rejectStarted = reject;
    });
    this.started.catch(() => {}); // a caller that only reads the stream must not see an unhandled rejection
    this.ended = new Promise((resolve) => {
      this.#resolveEnded = resolve;
    });
    this.#signal = signal;
    if (signal?.aborted) {
      this.#finish(abortError(signal), { exitCode: null, signal: null });
      return;
    }
    signal?.addEventListener('abort', this.#onAbort, { once: true });

    let child;
    try {
      // Descriptor 3 is the status channel; the end of standard input is the clean stop (see stop()).
      child = spawn(helperPath, [...args, '--status-fd', '3', '--stop-on-stdin-close'], {
        stdio: ['pipe', 'pipe', 'pipe', 'pipe'],
        windowsHide: true,
        shell: false,
        env: env ?? process.env,
      });
    } catch (cause) {
      this.#finish(spawnError(helperPath, cause), { exitCode: null, signal: null });
      return;
    }
    this.#child = child;
    adopt(child);
    child.stderr.on('data', (chunk) => {
      for (const text of this.#lines.push(chunk)) this.#stage(text);
    });
    child.stdout.on('data', (chunk) => this.#audio(chunk));
    child.stdio[3].on('data', (chunk) => this.#statusData(chunk));
    child.stdin.on('error', () => {}); // a helper that has ended has closed it
    child.once('error', (cause) => {
      // Only a failed spawn reaches here with no exit to follow (a failed kill is ignored).
      if (child.pid !== undefined) return;
      release(child);
      this.#finish(spawnError(helperPath, cause), { exitCode: null, signal: null });
    });
    child.once('exit', () => {
      release(child);
      child.stdout.resume(); // what is left in the pipe is bounded now: read it all
    });
    child.once('close', (exitCode, signalName) => this.#closed(exitCode, signalName));
  }

  /** Seconds of audio handed out so far: the frames at the stream's rate. */
  get seconds() {
    return this.frames / this.format.sampleRate;
  }

  /** The helper's process id (undefined when it could not be started). */
  get pid() {
    return this.#child?.pid;
  }

  /**
   * Ends the capture: its standard input is closed, which the helper takes as Ctrl+C, on every platform
   * (on Linux it is also sent SIGINT), and it ends with exit code 0 and whole frames. If it has not ended
   * after `timeoutMs` it is ended forcefully; the audio read so far stays whole up to the last complete
   * frame.
   * @returns the same promise as `ended`
   */
  stop({ timeoutMs = DEFAULT_STOP_TIMEOUT_MS } = {}) {
    // Once it is being stopped or killed (or has exited) there is nothing left to ask of it.
    if (this.#state !== 'running' || !this.#running()) return this.ended;
    this.#enter('stopping');
    this.#child.stdout.resume();
    this.#child.stdin.end();
    if (process.platform !== 'win32') this.#child.kill('SIGINT');
    this.#stopTimer = setTimeout(() => this.#forceEnd(), timeoutMs);
    return this.ended;
  }

  _read() {
    this.#child?.stdout.resume();
  }

  _destroy(error, callback) {
    // A consumer that gives up on the audio (break in for await, destroy()) ends the helper too.
    if (this.#running()) this.stop();
    callback(error);
  }

  #running() {
    return this.#child !== null && this.#child.exitCode === null && this.#child.signalCode === null;
  }

  #enter(next) {
    // A refused change is a fault in this class, never the helper's doing.
    if (!EDGES[this.#state].includes(next)) throw new Error(`capture state ${this.#state} cannot become ${next}`);
    this.#path.push(next);
  }

  get #state() {
    return this.#path.at(-1);
  }

  #was(state) {
    return this.#path.includes(state);
  }

  // Read regardless of the consumer: the helper is on its way out, and what it still writes is bounded.
  #draining() {
    return this.#state !== 'running' || !this.#running();
  }

  #forceEnd() {
    if (this.#state === 'forcing' || !this.#running()) return;
    this.#enter('forcing');
    this.#child.stdout.resume();
    this.#child.kill('SIGKILL');
  }

  #abort() {
    this.#fail(abortError(this.#signal));
    this.#forceEnd();
  }

  #statusData(chunk) {
    for (const event of this.#statusLines.push(chunk)) {
      if (event.event === 'start') {
        this.status = event;
        this.clock.start(event);
      } else if (event.event === 'end') {
        this.statusEnd = event;
      } else if (event.event === 'sync') {
        this.clock.add(event.frame, event.clock);
      }
      const name = STATUS_EVENTS[event.event];
      if (name !== undefined) this.emit(name, event);
    }
  }

  #hasStarted() {
    return this.#header === null && this.stages.some((stage) => stage.line === CAPTURE_STARTED_LINE);
  }

  #stage(text) {
    const stage = parseLine(text);
    this.stages.push(stage);
    this.emit('stage', stage);
    if (stage.line === CAPTURE_STARTED_LINE) this.#checkStarted();
  }

  #audio(chunk) {
    if (this.#header !== null) {
      if (this.#failure !== null) return; // a bad header: nothing after it is audio
      const take = Math.min(HEADER_SIZE - this.#headerHave, chunk.length);
      this.#header.set(chunk.subarray(0, take), this.#headerHave);
      this.#headerHave += take;
      chunk = chunk.subarray(take);
      if (this.#headerHave < HEADER_SIZE) return;
      const bad = checkHeader(this.#header, this.format);
      if (bad !== null) {
        this.#fail(badHeaderError(bad, [...this.stages]));
        this.#forceEnd();
        return;
      }
      this.#header = null;
      this.#checkStarted();
    }
    if (chunk.length === 0 || this.#failure !== null || this.destroyed) return;
    const samples = this.#assembler.push(chunk);
    if (samples === null) return;
    this.frames += samples.length / this.format.channels;
    if (!this.push(samples) && !this.#draining()) this.#child.stdout.pause(); // resumed by _read
  }

  #checkStarted() {
    // A failure has rejected `started` already; resolving it again is harmless.
    if (this.#failure === null && this.#hasStarted()) this.#resolveStarted();
  }

  // Records the first failure: `started` rejects with it and the stream errors with it.
  #fail(error) {
    if (this.#failure !== null) return;
    this.#failure = error;
    this.#rejectStarted(error);
  }

  #closed(exitCode, signalName) {
    clearTimeout(this.#stopTimer);
    const last = this.#lines.end();
    if (last !== null) this.#stage(last);
    const stages = [...this.stages];
    const forced = this.#was('forcing');
    // #fail keeps the first failure, so a capture that failed before its end is not judged again here.
    if (forced) {
      // Ended by us: whatever exit status the platform reports for that says nothing about the helper.
      if (!this.#hasStarted()) this.#fail(stoppedError({ forced }, stages));
    } else if (exitCode === null && !(this.#was('stopping') && signalName === 'SIGINT')) {
      // (Our own SIGINT ends a helper that has not yet set up its handler: that is a stop like any other.)
      this.#fail(killedError(signalName, stages));
    } else if (exitCode !== null && exitCode !== 0) {
      this.#fail(exitError(exitCode, stages));
    } else if (!this.#hasStarted()) {
      this.#fail(stoppedError({ forced, exitCode }, stages));
    }
    this.#finish(this.#failure, { exitCode, signal: signalName });
  }

  #finish(error, { exitCode, signal }) {
    if (this.#state === 'ended') return;
    this.#enter('ended');
    this.#signal?.removeEventListener('abort', this.#onAbort);
    if (error) this.#fail(error);
    const result = {
      exitCode,
      signal,
      stopped: this.#was('stopping'),
      forced: this.#was('forcing'),
      aborted: this.#signal?.aborted ?? false, // read once, here: an abort after the end does not count
      frames: this.frames,
      seconds: this.seconds,
      droppedBytes: this.#assembler.pendingBytes,
      error: this.#failure,
    };
    // The stream errors only for a consumer that listens for errors (for await, pipeline, on('error'));
    // `started` and `ended` report the failure either way, so nobody is taken down by an unhandled 'error'.
    if (this.destroyed) {
      // the consumer is gone already
    } else if (this.#failure !== null && this.listenerCount('error') > 0) {
      this.destroy(this.#failure);
    } else {
      this.push(null);
    }
    this.#resolveEnded(result);
  }
}

/** Starts the helper; see Capture. */
export function startCapture(options) {
  return new Capture(options);
}
