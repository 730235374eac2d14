import { EXIT_STAGES } from './diagnostics.js';

/**
 * Every way a capture can fail: no helper binary for this platform, the helper could not be started, it
 * ended with a failure exit code or before the capture started, it was ended by someone else, or its
 * stream header was not the expected one.
 *
 * code: 'HELPER_NO_BINARY' | 'HELPER_SPAWN' | 'HELPER_EXIT' | 'HELPER_KILLED' | 'HELPER_BAD_HEADER' |
 *   'HELPER_STOPPED'
 */
export class HelperError extends Error {
  constructor(message, { code, exitCode = null, signal = null, stages = [], field, expected, actual, cause } = {}) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = 'HelperError';
    this.code = code;
    this.exitCode = exitCode;
    this.signal = signal;
    // The stage that failed: named by the exit code when it is one of the helper's, else by the line.
    const failureLine = stages.find((stage) => stage.failure) ?? null;
    this.stage = (exitCode !== null ? EXIT_STAGES[exitCode] : undefined) ?? failureLine?.name ?? null;
    this.line = failureLine?.line ?? null;
    this.status = failureLine?.status ?? null;
    this.lines = stages.map((stage) => stage.text);
    this.stages = stages;
    if (field !== undefined) Object.assign(this, { field, expected, actual });
  }
}

/** What a capture's stream and `started` reject with when its AbortSignal fires. */
export function abortError(signal) {
  const error = new Error('The capture was aborted', { cause: signal.reason });
  error.name = 'AbortError';
  error.code = 'ABORT_ERR';
  return error;
}

// Every HelperError the capture ends with is made here, so each message and its fields have one source.

export function spawnError(helperPath, cause) {
  return new HelperError(`cannot start the helper ${helperPath}: ${cause.message}`, { code: 'HELPER_SPAWN', cause });
}

export function badHeaderError({ field, expected, actual }, stages) {
  return new HelperError(`the helper's stream header has ${field} ${JSON.stringify(actual)}, expected ${JSON.stringify(expected)}`, {
    code: 'HELPER_BAD_HEADER',
    stages,
    field,
    expected,
    actual,
  });
}

export function killedError(signal, stages) {
  return new HelperError(`the helper was ended by ${signal}`, { code: 'HELPER_KILLED', signal, stages });
}

export function exitError(exitCode, stages) {
  const failed = stages.find((stage) => stage.failure);
  const said = stages.map((stage) => stage.text).join(' | ');
  const detail = failed ? `: ${failed.text}` : said ? `; it said: ${said}` : '';
  return new HelperError(`the helper ended with exit code ${exitCode}${detail}`, { code: 'HELPER_EXIT', exitCode, stages });
}

/** Ended before the capture started: by us (`forced`, no exit code worth reporting) or by itself. */
export function stoppedError({ forced, exitCode }, stages) {
  return forced
    ? new HelperError('the helper was stopped before the capture started', { code: 'HELPER_STOPPED', stages })
    : new HelperError('the helper ended before the capture started', { code: 'HELPER_STOPPED', exitCode, stages });
}
