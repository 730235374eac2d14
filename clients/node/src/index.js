export { Capture, DEFAULT_STOP_TIMEOUT_MS, startCapture } from './capture.js';
export { EXIT_STAGES, parseLine } from './diagnostics.js';
export { HelperError } from './errors.js';
export { CHANNELS, FRAME_SIZE, HEADER_SIZE, RATES, SAMPLE_RATE, checkHeader } from './frames.js';
export { FrameClock } from './status.js';
