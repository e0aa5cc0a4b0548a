'use strict';
// Keep the machine awake from Node.js, through the korvel library.
//
//   const korvel = require('korvel');
//   const awake = korvel.hold({ minutes: 30, name: 'backup' });
//   ...
//   awake.release();
//
// While a hold is in force the library holds the operating system's own sleep
// inhibition (on Linux a systemd-logind lock, plus the desktop session's
// inhibitor where one answers). Any number of holds may be in force at once;
// each ends on its own (registry.js says how they combine).
const { inspect } = require('node:util');
const { registry } = require('./registry');

/** The machine could not be kept awake, or the library could not be used.
 * For a refusal, `message` is the library's own one-line message. */
class KorvelError extends Error {
  constructor(message) {
    super(message);
    this.name = 'KorvelError';
  }
}

const LARGEST = 2147483647;
// Each option: is it a number, does a value pass, and the sentence a value
// that does not pass gets.
const OPTIONS = {
  minutes: [true, (v) => v > 0 && v <= 35791394, 'minutes must be a number greater than 0 and at most 35791394'],
  seconds: [true, (v) => Number.isInteger(v) && v >= 0 && v <= LARGEST,
    'seconds must be a whole number from 0 to 2147483647'],
  pid: [true, (v) => Number.isInteger(v) && v >= 1 && v <= LARGEST, 'pid must be a whole number from 1 to 2147483647'],
  process: [false, (v) => typeof v === 'string' && v !== '' && !/[/\0]/.test(v),
    "process must be an executable's file name: a non-empty text without '/' or NUL"],
  display: [false, (v) => typeof v === 'boolean', 'display must be true or false'],
  name: [false, (v) => typeof v === 'string' && !v.includes('\0'), 'name must be a text without NUL'],
  app: [false, (v) => typeof v === 'string' && !v.includes('\0'), 'app must be a text without NUL'],
};
const ENDS = ['minutes', 'seconds', 'pid', 'process'];

function check(key, value) {
  if (!(key in OPTIONS)) {
    throw new TypeError(`unknown option ${key}: the options are ${Object.keys(OPTIONS).join(', ')}`);
  }
  const [numeric, passes, sentence] = OPTIONS[key];
  const number = typeof value === 'number';
  if ((number || !numeric) && passes(value)) return;
  const Fault = numeric && number ? RangeError : TypeError;
  throw new Fault(`${sentence}, not ${inspect(value)}`);
}

// The request these options make on their own, as an object; throws
// TypeError or RangeError naming the option before anything is asked.
function request(options) {
  if (options === null || typeof options !== 'object') throw new TypeError('hold() takes an options object');
  const given = Object.keys(options).filter((key) => options[key] !== undefined);
  for (const key of given) check(key, options[key]);
  const ends = ENDS.filter((key) => given.includes(key));
  if (ends.length > 1) throw new TypeError('only one of minutes, seconds, pid and process can be given');
  if (options.process !== undefined && options.name !== undefined) {
    throw new TypeError('name cannot be given with process: the hold is named after the process');
  }
  const asked = { mode: 'indefinite', keep_display: options.display === true };
  if (options.minutes !== undefined) Object.assign(asked, { mode: 'minutes', minutes: options.minutes });
  if (options.seconds !== undefined) Object.assign(asked, { mode: 'minutes', seconds: options.seconds });
  if (options.pid !== undefined) Object.assign(asked, { mode: 'while_pid', pid: options.pid });
  if (options.process !== undefined) Object.assign(asked, { mode: 'while_process', name: options.process });
  if (options.name) asked.name = options.name;
  if (options.app) asked.app = options.app;
  return asked;
}

/** The options text hold() asks the library for when no other hold is in
 * force. Throws as hold() does for options it refuses. */
function optionsText(options = {}) {
  return JSON.stringify(request(options));
}

const dispose = Symbol.dispose || Symbol.for('nodejs.dispose');

/** A hold on the machine's sleep, from hold() until release(). */
class Hold {
  #entry;

  constructor(entry) {
    this.#entry = entry;
  }

  /** Ends this hold; the others stay in force. Later calls do nothing. */
  release() {
    registry().release(this.#entry);
  }

  /** This hold is in force now: not released, its time not up, its process
   * alive, and the library's activation still the one asked for. */
  get held() {
    return registry().held(this.#entry);
  }

  [dispose]() {
    this.release();
  }
}

/**
 * Keeps the machine awake until the returned Hold is released, and at most
 * for `minutes` or `seconds`, while the process `pid` lives, or while the
 * process with the lowest id whose executable is called `process` lives.
 * `display: true` keeps the display on as well; `name` is what
 * `systemd-inhibit --list` and the desktop show, `app` who asks. Throws
 * TypeError or RangeError for options it refuses, and KorvelError with the
 * library's message when the machine cannot be kept awake; nothing is held
 * then, and the other holds stay as they are.
 */
function hold(options = {}) {
  const { entry, error } = registry().take(request(options));
  if (error !== undefined) throw new KorvelError(error);
  return new Hold(entry);
}

/** The library's status, e.g. { active: 1, mode: 'minutes', remaining_s: 1795,
 * keep_display: 0, platform: 'linux', mechanism: 'logind', pid: 0, name: 'backup' }. */
function status() {
  const { status: now, error } = registry().status();
  if (error !== undefined) throw new KorvelError(error);
  return now;
}

/** The library file in use (a path, or the bare name the loader resolved);
 * null with KORVEL_FAKE_SUCCESS. */
function libraryPath() {
  const { path, error } = registry().libraryPath();
  if (error !== undefined) throw new KorvelError(error);
  return path;
}

module.exports = { hold, status, libraryPath, optionsText, Hold, KorvelError };
