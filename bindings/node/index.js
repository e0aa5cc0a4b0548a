'use strict';
// Keep the machine awake from Node.js, through the korvel library.
//
//   const korvel = require('korvel');
//   using awake = korvel.hold({ minutes: 30, name: 'backup' });  // or awake.release()
//
// While a hold is in force the library holds the operating system's own sleep
// inhibition (on Linux a systemd-logind lock, plus the desktop session's
// inhibitor where one answers). The library holds one activation per process,
// so holds do not nest: hold() while another is in force throws and leaves
// the first as it is.

const fs = require('node:fs');
const path = require('node:path');
const koffi = require('koffi');

const LIBRARY_NAME = 'brenvic-korvel-sleep-blocker';
const FILE_NAME = LIBRARY_NAME + (process.platform === 'win32' ? '.dll' : '.so');

/** The machine could not be kept awake, or the library could not be used.
 * For a refusal, `message` is the library's own one-line message. */
class KorvelError extends Error {
  constructor(message) {
    super(message);
    this.name = 'KorvelError';
  }
}

// Where the library is looked for, in order: the file KORVEL_LIBRARY names,
// the one this package carries for this platform, then the system's, by the
// bare name the loader finds after an install (ldconfig, a .deb).
function candidates() {
  const found = [];
  if (process.env.KORVEL_LIBRARY) found.push(['KORVEL_LIBRARY', process.env.KORVEL_LIBRARY]);
  const carried = path.join(__dirname, 'prebuilds', `${process.platform}-${process.arch}`, FILE_NAME);
  if (fs.existsSync(carried)) found.push(['in the package', carried]);
  found.push(['on the system', FILE_NAME]);
  return found;
}

let api = null;
function library() {
  if (api) return api;
  const failures = [];
  for (const [where, target] of candidates()) {
    let lib;
    try {
      lib = koffi.load(target);
    } catch (e) {
      failures.push(`${where}: ${e.message}`);
      continue;
    }
    api = {
      path: target,
      on: lib.func('int kor_on(const char *options_json)'),
      off: lib.func('int kor_off(void)'),
      // A plain pointer, not a string: the text goes back to kor_free_string.
      status: lib.func('void *kor_status(void)'),
      lastError: lib.func('const char *kor_last_error(void)'),
      freeString: lib.func('void kor_free_string(void *text)'),
    };
    return api;
  }
  throw new KorvelError('cannot load the korvel library: ' + failures.join('; '));
}

function readStatus(lib) {
  const text = lib.status();
  if (!text) throw new KorvelError(lib.lastError());
  try {
    return JSON.parse(koffi.decode(text, 'char', -1));
  } finally {
    lib.freeString(text);
  }
}

const ENDS = ['minutes', 'seconds', 'pid', 'process'];
const KNOWN = new Set([...ENDS, 'display', 'name']);

// The options text for kor_on, from the options as the Python package names them.
function optionsJson(opts) {
  if (opts === null || typeof opts !== 'object') throw new TypeError('hold() takes an options object');
  for (const key of Object.keys(opts)) {
    if (!KNOWN.has(key)) throw new TypeError(`hold() has no option ${key}`);
  }
  const given = ENDS.filter((key) => opts[key] !== undefined);
  if (given.length > 1) throw new TypeError(`hold() takes one of ${ENDS.join(', ')}, not ${given.join(' and ')}`);
  if (opts.process !== undefined && opts.name !== undefined) {
    throw new TypeError('hold({process}) is named after the process: name cannot be given');
  }
  const options = { mode: 'indefinite', keep_display: Boolean(opts.display) };
  if (opts.minutes !== undefined) Object.assign(options, { mode: 'minutes', minutes: opts.minutes });
  else if (opts.seconds !== undefined) Object.assign(options, { mode: 'minutes', seconds: opts.seconds });
  else if (opts.pid !== undefined) Object.assign(options, { mode: 'while_pid', pid: opts.pid });
  else if (opts.process !== undefined) Object.assign(options, { mode: 'while_process', name: opts.process });
  if (opts.name !== undefined) options.name = opts.name;
  return JSON.stringify(options);
}

let holder = null; // the Hold in force
const dispose = Symbol.dispose || Symbol.for('nodejs.dispose');

/** A hold on the machine's sleep, from hold() until release(). */
class Hold {
  /** Ends the hold; later calls do nothing. */
  release() {
    if (holder !== this) return;
    library().off();
    holder = null;
  }

  /** This object still owns the hold (which a timed one may have ended). */
  get held() {
    return holder === this;
  }

  [dispose]() {
    this.release();
  }
}

/**
 * Keeps the machine awake until the returned Hold is released, and at most
 * for `minutes` or `seconds`, while the process `pid` lives, or while a
 * process whose executable is called `process` lives. `display: true` keeps
 * the display on as well; `name` is what `systemd-inhibit --list` and the
 * desktop show. Throws KorvelError with the library's message when the
 * machine cannot be kept awake (nothing is held then), and when another hold
 * is in force in this process.
 */
function hold(opts = {}) {
  const text = optionsJson(opts);
  const lib = library();
  if (holder !== null) {
    throw new KorvelError('a korvel hold is in force already: the library holds one activation '
      + 'per process, so holds cannot nest or overlap');
  }
  if (lib.on(text) !== 1) throw new KorvelError(lib.lastError());
  holder = new Hold();
  return holder;
}

/** The library's status, e.g. { active: 1, mode: 'minutes', remaining_s: 1795,
 * keep_display: 0, platform: 'linux', mechanism: 'logind', pid: 0, name: 'backup' }. */
function status() {
  return readStatus(library());
}

/** The library file in use (a path, or the bare name the loader resolved). */
function libraryPath() {
  return library().path;
}

module.exports = { hold, status, libraryPath, Hold, KorvelError };
