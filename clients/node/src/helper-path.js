// Which helper binary startCapture() runs when the caller names none: $AUDIO_HELPER_PATH, else the one
// this package carries for the platform it runs on.
import { existsSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { HelperError } from './errors.js';

const PACKAGE_ROOT = fileURLToPath(new URL('..', import.meta.url));

/** The binaries this package carries, by `${process.platform}-${process.arch}`. */
export const BUNDLED = { 'linux-x64': 'audio-helper', 'win32-x64': 'audio-helper.exe' };

/**
 * Inside a packaged Electron app this package lies in an app.asar archive, from which nothing can be
 * executed; the binary kept out of it sits at the same place under app.asar.unpacked.
 */
export function unpackedPath(file) {
  return file.replace(/([\\/])app\.asar(?=[\\/])/, '$1app.asar.unpacked');
}

/** The carried binary for a platform; a HelperError (HELPER_NO_BINARY) naming it when there is none. */
export function bundledHelperPath({ platform = process.platform, arch = process.arch, root = PACKAGE_ROOT, exists = existsSync } = {}) {
  const key = `${platform}-${arch}`;
  const name = BUNDLED[key];
  const file = name && unpackedPath(path.join(root, 'bin', key, name));
  if (file && exists(file)) return file;
  const error = new HelperError(
    `audio-helper-client carries no helper for ${key} (it has ${Object.keys(BUNDLED).join(', ')}): ` +
      'pass helperPath or set AUDIO_HELPER_PATH',
    { code: 'HELPER_NO_BINARY' },
  );
  throw Object.assign(error, { platform, arch });
}

export function defaultHelperPath(env = process.env) {
  return env.AUDIO_HELPER_PATH || bundledHelperPath();
}
