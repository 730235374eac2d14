// The helper's status channel (descriptor 3): JSON Lines, turned into events on the capture, and the
// clock fitted on its sync pairs.

/** The capture's events for each status event name; the others (start, end) are kept as fields. */
export const STATUS_EVENTS = {
  sync: 'sync',
  level: 'level',
  gap: 'gap',
  'silent-capture': 'silentCapture',
  'silent-capture-end': 'silentCaptureEnd',
  tree: 'tree',
  error: 'statusError',
};

/** Splits the channel's bytes into parsed events; a line that is not JSON is skipped. */
export class StatusLines {
  #rest = '';
  #decoder = new TextDecoder('utf-8');

  push(chunk) {
    const text = this.#rest + this.#decoder.decode(chunk, { stream: true });
    const lines = text.split('\n');
    this.#rest = lines.pop();
    const events = [];
    for (const line of lines) {
      try {
        events.push(JSON.parse(line));
      } catch {
        // a torn or foreign line says nothing we can use
      }
    }
    return events;
  }
}

/**
 * Maps stream frames to the monotonic clock the helper names (performance counter in 100 ns units on
 * Windows, CLOCK_MONOTONIC in ns on Linux), fitted by least squares on the sync pairs: the slope takes in
 * the drift between the audio device and the clock.
 */
export class FrameClock {
  /** 'qpc-100ns' or 'monotonic-ns', from the start event; null before it. */
  unit = null;
  #rate = 48000;
  #pairs = []; // [frame, clock], the newest last; a window of the last hour at one a second
  static WINDOW = 3600;

  start(event) {
    this.unit = event.unit;
    this.#rate = event.rate;
  }

  add(frame, clock) {
    this.#pairs.push([frame, clock]);
    if (this.#pairs.length > FrameClock.WINDOW) this.#pairs.shift();
  }

  /** The clock reading of stream frame `frame`, in `unit`; null before the first sync pair. */
  clockAt(frame) {
    const pairs = this.#pairs;
    if (pairs.length === 0) return null;
    const unitsPerSecond = this.unit === 'qpc-100ns' ? 1e7 : 1e9;
    const [frame0, clock0] = pairs[0];
    if (pairs.length === 1) return clock0 + ((frame - frame0) * unitsPerSecond) / this.#rate;
    // Relative to the first pair, so the numbers stay small enough for doubles.
    let sx = 0;
    let sy = 0;
    let sxx = 0;
    let sxy = 0;
    for (const [f, c] of pairs) {
      const x = f - frame0;
      const y = c - clock0;
      sx += x;
      sy += y;
      sxx += x * x;
      sxy += x * y;
    }
    const n = pairs.length;
    const slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    const intercept = (sy - slope * sx) / n;
    return clock0 + intercept + slope * (frame - frame0);
  }
}
