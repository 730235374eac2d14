// The helper's standard error: UTF-16LE lines ending in CR LF, one per start-up stage, from a fixed
// catalogue. Each line is recognised and the numbers it carries are parsed out.

// [line number, stage name, pattern, what the captured groups are, exit code when the line reports a failure]
const CATALOGUE = [
  [1, 'started', /^\[helper\] Elindult, argc=(-?\d+)$/, ['argc']],
  [2, 'usage', /^Usage: (.*) <exclude_pid>$/, ['program'], 1],
  [3, 'exclude-pid', /^\[helper\] exclude_pid=(\d+)$/, ['pid']],
  [4, 'coinit-failed', /^\[helper\] CoInitializeEx failed: 0x([0-9a-f]{8})$/, ['status'], 2],
  [5, 'com-ready', /^\[helper\] COM inicializalva, aktivalas inditasa\.\.\.$/, []],
  [6, 'activate-failed', /^ActivateAudioInterfaceAsync failed: 0x([0-9a-f]{8})$/, ['status'], 3],
  [7, 'activation-pending', /^\[helper\] ActivateAudioInterfaceAsync elindult, varakozas a befejezesre\.\.\.$/, []],
  [8, 'activation-timeout', /^\[helper\] Aktivalas timeout \(nincs completion esemeny 5mp alatt\)$/, [], 8],
  [9, 'activation-done', /^\[helper\] Aktivalas befejezve, eredmeny: 0x([0-9a-f]{8})$/, ['status']],
  [10, 'activation-failed', /^Activation failed: 0x([0-9a-f]{8}) \(Windows 10 2004\+ szukseges\)$/, ['status'], 4],
  [11, 'initialize-failed', /^AudioClient Initialize failed: 0x([0-9a-f]{8})$/, ['status'], 5],
  [12, 'initialized', /^\[helper\] AudioClient inicializalva$/, []],
  [13, 'service-failed', /^GetService\(IAudioCaptureClient\) failed: 0x([0-9a-f]{8})$/, ['status'], 6],
  [14, 'start-failed', /^AudioClient Start failed: 0x([0-9a-f]{8})$/, ['status'], 7],
  [15, 'capture-started', /^\[helper\] Rogzites elindult, fejlec elkuldve\.$/, []],
];

export const CAPTURE_STARTED_LINE = 15;

// What each exit code says failed; 0 is a normal end.
export const EXIT_STAGES = Object.freeze({
  0: null,
  1: 'usage',
  2: 'coinit',
  3: 'activate',
  4: 'activation',
  5: 'initialize',
  6: 'service',
  7: 'start',
  8: 'activation-timeout',
});

/**
 * Recognises one diagnostic line (without its CR LF).
 * @returns {{line: number|null, name: string, text: string, failure: boolean, exitCode?: number,
 *            argc?: number, pid?: number, status?: number, program?: string}}
 */
export function parseLine(text) {
  for (const [line, name, pattern, fields, exitCode] of CATALOGUE) {
    const match = pattern.exec(text);
    if (!match) continue;
    const stage = { line, name, text, failure: exitCode !== undefined };
    if (exitCode !== undefined) stage.exitCode = exitCode;
    fields.forEach((field, i) => {
      const value = match[i + 1];
      stage[field] =
        field === 'program' ? value : field === 'status' ? Number.parseInt(value, 16) : Number(value);
    });
    return stage;
  }
  return { line: null, name: 'unknown', text, failure: false };
}

// Splits a UTF-16LE byte stream into lines; a chunk may end inside a character or between CR and LF.
export class LineSplitter {
  #decoder = new TextDecoder('utf-16le');
  #text = '';
  #raw = [];

  /** @returns {string[]} the lines completed by this chunk */
  push(chunk) {
    this.#raw?.push(chunk);
    this.#text += this.#decoder.decode(chunk, { stream: true });
    const parts = this.#text.split('\r\n');
    this.#text = parts.pop();
    if (parts.length > 0) this.#raw = null; // it speaks UTF-16: no need to keep the bytes
    return parts;
  }

  /**
   * What is left at the end of the stream, as one last line, or null. Text that was not UTF-16 at all
   * (a program that failed before it could speak the protocol) is shown as 8-bit text.
   */
  end() {
    const rest = this.#text + this.#decoder.decode();
    this.#text = '';
    if (rest === '') return null;
    const bytes = this.#raw ? Buffer.concat(this.#raw) : null;
    const looksNarrow = bytes !== null && !bytes.includes(0);
    return (looksNarrow ? bytes.toString('latin1') : rest).replace(/\r?\n$/, '');
  }
}
