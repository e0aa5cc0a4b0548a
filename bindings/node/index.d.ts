// Types for the korvel package: keep the machine awake from Node.js.

/** What to hold for. At most one of minutes, seconds, pid and process; with
 * none, until the hold is released. Every value is checked before the
 * library is asked (TypeError, RangeError). */
export interface HoldOptions {
  /** Hold for this many minutes: above 0, at most 35791394 (rounded to whole
   * seconds, at least 1). */
  minutes?: number;
  /** Hold for this many seconds: a whole number from 0 to 2147483647. */
  seconds?: number;
  /** Hold while the process with this id (1 to 2147483647) lives. */
  pid?: number;
  /** Hold while the process with the lowest id whose executable is called
   * this lives (a file name: not empty, no '/'); the hold is named after it,
   * so `name` cannot be given too. */
  process?: string;
  /** Keep the display on as well (default false). */
  display?: boolean;
  /** What `systemd-inhibit --list` and the desktop show; empty means none. */
  name?: string;
  /** Who asks, as logind's "who" and the desktop's app id show it; empty
   * means the program's own name. */
  app?: string;
}

/** The library's status report. */
export interface Status {
  active: 0 | 1;
  mode: 'none' | 'indefinite' | 'minutes' | 'while_pid' | 'while_process';
  /** Whole seconds left of a timed activation, rounded up; else 0. */
  remaining_s: number;
  keep_display: 0 | 1;
  platform: 'linux' | 'windows';
  /** What holds the inhibition, e.g. "logind"; "none" when nothing is held;
   * "fake (KORVEL_FAKE_SUCCESS)" with that switch. */
  mechanism: string;
  pid: number;
  name: string;
}

/** A hold on the machine's sleep, from hold() until release(). Any number may
 * be in force at once; each ends on its own. */
export class Hold implements Disposable {
  private constructor();
  /** Ends this hold; the others stay in force. Later calls do nothing. */
  release(): void;
  /** This hold is in force now: not released, its time not up, its process
   * alive, and the library's activation still the one asked for. */
  readonly held: boolean;
  /** What `using` calls (where the language has it). */
  [Symbol.dispose](): void;
}

/** The machine could not be kept awake; `message` is the library's own, or
 * says that another copy of korvel (a worker thread) holds the activation. */
export class KorvelError extends Error {}

/** Keeps the machine awake until the Hold is released. Throws TypeError or
 * RangeError for options it refuses, KorvelError when the library refuses or
 * another copy holds the activation; nothing is held then. */
export function hold(options?: HoldOptions): Hold;

/** The library's status. */
export function status(): Status;

/** The library file in use; null with KORVEL_FAKE_SUCCESS. */
export function libraryPath(): string | null;

/** The options text a hold with these options alone asks the library for. */
export function optionsText(options?: HoldOptions): string;
