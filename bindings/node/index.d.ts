// Types for the korvel package: keep the machine awake from Node.js.

/** What to hold for. At most one of minutes, seconds, pid and process. */
export interface HoldOptions {
  /** Hold for this many minutes (rounded to whole seconds, at least 1). */
  minutes?: number;
  /** Hold for this many seconds. */
  seconds?: number;
  /** Hold while the process with this id lives. */
  pid?: number;
  /** Hold while the oldest running process whose executable is called this lives;
   * the hold is named after it, so `name` cannot be given too. */
  process?: string;
  /** Keep the display on as well. */
  display?: boolean;
  /** What `systemd-inhibit --list` and the desktop show. */
  name?: string;
}

/** The library's status report. */
export interface Status {
  active: 0 | 1;
  mode: 'none' | 'indefinite' | 'minutes' | 'while_pid' | 'while_process';
  /** Whole seconds left of a timed hold, rounded up; else 0. */
  remaining_s: number;
  keep_display: 0 | 1;
  platform: 'linux' | 'windows';
  /** What holds the inhibition, e.g. "logind"; "none" when nothing is held. */
  mechanism: string;
  pid: number;
  name: string;
}

/** A hold on the machine's sleep, from hold() until release() (or `using`). */
export class Hold implements Disposable {
  private constructor();
  /** Ends the hold; later calls do nothing. */
  release(): void;
  /** This object still owns the hold (which a timed one may have ended). */
  readonly held: boolean;
  [Symbol.dispose](): void;
}

/** The machine could not be kept awake; `message` is the library's own. */
export class KorvelError extends Error {}

/** Keeps the machine awake until the Hold is released. Throws KorvelError
 * when refused (nothing is held then) or when another hold is in force. */
export function hold(options?: HoldOptions): Hold;

/** The library's status. */
export function status(): Status;

/** The library file in use. */
export function libraryPath(): string;
