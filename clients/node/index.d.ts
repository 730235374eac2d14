import { Readable } from 'node:stream';

export const SAMPLE_RATE: 48000;
export const CHANNELS: 2;
export const HEADER_SIZE: 16;
export const FRAME_SIZE: 8;
/** The rates the helper can be asked for. */
export const RATES: readonly SampleRate[];
export type SampleRate = 8000 | 16000 | 22050 | 24000 | 32000 | 44100 | 48000;
export type ChannelCount = 1 | 2;
export const DEFAULT_STOP_TIMEOUT_MS: number;

/** What each exit code of the helper says failed (null for 0, a normal end). */
export const EXIT_STAGES: Readonly<Record<number, string | null>>;

export type StageName =
  | 'started'
  | 'usage'
  | 'exclude-pid'
  | 'coinit-failed'
  | 'com-ready'
  | 'activate-failed'
  | 'activation-pending'
  | 'activation-timeout'
  | 'activation-done'
  | 'activation-failed'
  | 'initialize-failed'
  | 'initialized'
  | 'service-failed'
  | 'start-failed'
  | 'capture-started'
  | 'unknown';

/** One diagnostic line of the helper, recognised against its catalogue. */
export interface Stage {
  /** The line's number in the catalogue (1 to 15), or null for a line that is not in it. */
  line: number | null;
  name: StageName;
  /** The line as the helper wrote it, without CR LF. */
  text: string;
  /** True for a line that reports a failed stage. */
  failure: boolean;
  /** For a failure line: the exit code that goes with it. */
  exitCode?: number;
  /** Line 1: the argument count the helper saw (2 for a correct call). */
  argc?: number;
  /** Line 3: the process id the helper excludes, as it understood the argument. */
  pid?: number;
  /** Lines 4, 6, 9, 10, 11, 13, 14: the status (HRESULT) as an unsigned 32-bit number. */
  status?: number;
  /** Line 2: the program name. */
  program?: string;
}

export type HelperErrorCode =
  | 'HELPER_SPAWN'
  | 'HELPER_EXIT'
  | 'HELPER_KILLED'
  | 'HELPER_BAD_HEADER'
  | 'HELPER_STOPPED'
  | 'HELPER_NO_BINARY';

export class HelperError extends Error {
  name: 'HelperError';
  code: HelperErrorCode;
  /** The helper's exit code, or null if it did not exit by itself. */
  exitCode: number | null;
  /** The signal that ended it, when someone else ended it. */
  signal: NodeJS.Signals | null;
  /** The stage that failed, as named by the exit code (EXIT_STAGES) or by the failure line. */
  stage: string | null;
  /** The catalogue number of the failure line, if one was printed. */
  line: number | null;
  /** The status printed on the failure line, as an unsigned 32-bit number. */
  status: number | null;
  /** Every line the helper wrote. */
  lines: string[];
  stages: Stage[];
  /** HELPER_BAD_HEADER: the header field that is wrong, what was expected and what came. */
  field?: 'length' | 'magic' | 'sampleRate' | 'channels' | 'bitsPerSample';
  expected?: string | number;
  actual?: string | number;
  /** HELPER_NO_BINARY: the platform and architecture this package carries no helper for. */
  platform?: string;
  arch?: string;
}

export interface CaptureEnd {
  /** The helper's exit code; null when it was ended by a signal. */
  exitCode: number | null;
  signal: NodeJS.Signals | null;
  /** stop() (or destroying the stream) asked the helper to end, before it exited or an abort or a bad header ended it. */
  stopped: boolean;
  /** The helper was ended forcefully (a stop on Windows; on Linux after the stop time-out; an abort or a bad header). */
  forced: boolean;
  aborted: boolean;
  /** Whole frames read. */
  frames: number;
  /** The frames' length in seconds, at the stream's rate. */
  seconds: number;
  /** Bytes of a last, incomplete frame that were dropped. */
  droppedBytes: number;
  /** Why the capture failed, or null. */
  error: Error | null;
}

export interface CaptureOptions {
  /** The process whose tree is left out of the capture (with `include`, the one captured). Default: this process. */
  excludePid?: number;
  /** Capture only the given trees (excludePid's and `pids`') instead of everything but them. Default false. */
  include?: boolean;
  /**
   * More process trees for the same rule. Without `include` Windows cannot leave out more than one tree:
   * there startCapture throws a RangeError. Default none.
   */
  pids?: number[];
  /** Frames a second; the helper's client converts (Windows) or the sound server does (Linux). Default 48000. */
  rate?: SampleRate;
  /** 1 (the mean of the two channels) or 2. Default 2. */
  channels?: ChannelCount;
  /**
   * Default: $AUDIO_HELPER_PATH, else the helper this package carries for process.platform-process.arch
   * (bin/linux-x64, bin/win32-x64; under app.asar.unpacked inside a packaged Electron app). With neither,
   * startCapture throws a HelperError with code HELPER_NO_BINARY.
   */
  helperPath?: string;
  /** Ends the helper forcefully when it fires. */
  signal?: AbortSignal;
  /** The helper's environment. Default: this process's. */
  env?: NodeJS.ProcessEnv;
  /** Chunks the stream buffers before the helper's pipe is left to fill. Default 8. */
  highWaterMark?: number;
}

export interface StopOptions {
  /** How long a clean stop may take before the helper is ended forcefully. Default 3000 ms. */
  timeoutMs?: number;
}

/** Every status event: its name and the stream frame it refers to, where one applies. */
export interface StatusEvent {
  event: string;
  frame?: number;
}
/** At frame 0: the stream's format, the monotonic clock then and its unit, and the wall time. */
export interface StartEvent extends StatusEvent {
  event: 'start';
  rate: number;
  channels: number;
  clock: number;
  unit: ClockUnit;
  wall_ms: number;
}
/** The performance counter in 100 ns units (Windows), or CLOCK_MONOTONIC in nanoseconds (Linux). */
export type ClockUnit = 'qpc-100ns' | 'monotonic-ns';
/** Once a second: a frame and the clock reading of that frame, from the engine's stamps. */
export interface SyncEvent extends StatusEvent {
  event: 'sync';
  frame: number;
  clock: number;
  unit: ClockUnit;
}
/** Every 100 ms of stream: peak and RMS per channel in dBFS (null for digital silence). */
export interface LevelEvent extends StatusEvent {
  event: 'level';
  frame: number;
  peak_db: (number | null)[];
  rms_db: (number | null)[];
}
/** Zero frames written for audio that was lost. */
export interface GapEvent extends StatusEvent {
  event: 'gap';
  frame: number;
  frames: number;
  cause: 'engine-overflow' | 'unflagged-loss' | 'stalled-reader' | 'failed-write';
}
/** The capture has held only zeros for 3 s while the render side says audio for it plays (and its end). */
export interface SilentCaptureEvent extends StatusEvent {
  event: 'silent-capture' | 'silent-capture-end';
  frame: number;
  silent_ms?: number;
  since_frame?: number;
}
/** A root process of the rule ended; capture goes on. */
export interface TreeEvent extends StatusEvent {
  event: 'tree';
  frame: number;
  pid: number;
}
/**
 * A failure with its detail: the call and its status (and the status's name where known), or an engine's
 * own failure (Linux: `errno` where there is one, and what the server said).
 */
export interface StatusErrorEvent extends StatusEvent {
  event: 'error';
  call: string;
  hresult?: string;
  errno?: number;
  text?: string;
}
/** Why the capture ended, and the frames written. */
export interface EndEvent extends StatusEvent {
  event: 'end';
  reason: 'stop' | 'device-lost' | 'set-up failed';
  frames: number;
  exit?: number;
}

/** Stream frames to the helper's monotonic clock, fitted on the sync pairs. */
export class FrameClock {
  readonly unit: ClockUnit | null;
  /** The clock reading of stream frame `frame`, in `unit`; null before the first sync pair. */
  clockAt(frame: number): number | null;
}

/**
 * A running helper. It is an object-mode Readable (and async iterable) of Float32Arrays, each holding
 * whole interleaved frames at `format`: stereo [left0, right0, left1, right1, ...] or mono [s0, s1, ...],
 * 48 kHz stereo unless other options were given.
 */
export class Capture extends Readable {
  readonly pid: number | undefined;
  /** Resolves once the helper reported that capture started and sent a valid header; rejects with HelperError or an AbortError. */
  readonly started: Promise<void>;
  /** Resolves (never rejects) once the helper has exited and all of its output has been read. */
  readonly ended: Promise<CaptureEnd>;
  readonly stages: Stage[];
  readonly frames: number;
  /** The frames handed out so far, in seconds at the stream's rate. */
  readonly seconds: number;
  /** The format asked for, which the header has to announce. */
  readonly format: { readonly sampleRate: SampleRate; readonly channels: ChannelCount };
  /** The status channel's start event, once it came. */
  readonly status: StartEvent | null;
  /** The status channel's end event, once it came. */
  readonly statusEnd: EndEvent | null;
  readonly clock: FrameClock;
  /** Closes the helper's standard input (its clean stop, on every platform); killed after `timeoutMs`. */
  stop(options?: StopOptions): Promise<CaptureEnd>;
  on(event: 'sync', listener: (event: SyncEvent) => void): this;
  on(event: 'level', listener: (event: LevelEvent) => void): this;
  on(event: 'gap', listener: (event: GapEvent) => void): this;
  on(event: 'silentCapture' | 'silentCaptureEnd', listener: (event: SilentCaptureEvent) => void): this;
  on(event: 'tree', listener: (event: TreeEvent) => void): this;
  /** Not 'error', which would end the stream: a failure the helper reports and may capture on after. */
  on(event: 'statusError', listener: (event: StatusErrorEvent) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;

  read(size?: number): Float32Array | null;
  [Symbol.asyncIterator](): AsyncIterableIterator<Float32Array>;

  on(event: 'stage', listener: (stage: Stage) => void): this;
  on(event: 'data', listener: (samples: Float32Array) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
  once(event: 'stage', listener: (stage: Stage) => void): this;
  once(event: 'data', listener: (samples: Float32Array) => void): this;
  once(event: string | symbol, listener: (...args: any[]) => void): this;
}

export function startCapture(options?: CaptureOptions): Capture;

/** Recognises one diagnostic line (without its CR LF). */
export function parseLine(text: string): Stage;

/** The first wrong field of a stream header, or null when it is the expected one. */
export function checkHeader(
  bytes: Uint8Array,
  format?: { sampleRate?: number; channels?: number },
): null | { field: 'length' | 'magic' | 'sampleRate' | 'channels' | 'bitsPerSample'; expected: string | number; actual: string | number };
