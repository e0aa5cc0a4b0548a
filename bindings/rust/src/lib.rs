//! Keep the machine awake, through the korvel library.
//!
//! ```no_run
//! fn main() -> Result<(), korvel::Error> {
//!     let awake = korvel::Hold::new(korvel::Options::new().minutes(30.0).name("backup"))?;
//!     // ... the long work ...
//!     assert!(awake.held());
//!     Ok(())
//! } // dropping the hold ends it
//! ```
//!
//! While a [`Hold`] is in force the library holds the operating system's own
//! sleep inhibition (on Linux a systemd-logind lock, plus the desktop
//! session's inhibitor where one answers). Any number of holds may be in
//! force at once, on any threads: the machine is kept awake while any is, the
//! display while any asks for it, and each ends on its own (dropped, its time
//! up, its process ended). [`Hold::held`] says whether a hold is in force now.
//!
//! The crate links `libbrenvic-korvel-sleep-blocker.so`, found by `build.rs`
//! in the folder `KORVEL_LIB_DIR` names or through pkg-config. With
//! `KORVEL_FAKE_SUCCESS=1` every hold is granted without asking the library
//! (for tests and CI), and the status names the mechanism
//! `fake (KORVEL_FAKE_SUCCESS)`.
use std::ffi::CStr;
use std::fmt;

#[doc(hidden)]
pub mod json;
mod options;
mod registry;

pub use options::Options;

/// The library's five C functions, as `include/korvel.h` declares them.
pub mod sys {
    use std::os::raw::{c_char, c_int, c_void};

    extern "C" {
        pub fn kor_on(options_json: *const c_char) -> c_int;
        pub fn kor_off() -> c_int;
        pub fn kor_status() -> *mut c_char;
        pub fn kor_last_error() -> *const c_char;
        pub fn kor_free_string(text: *mut c_void);
    }
}

/// No hold was taken: an option the policy refuses, the library's refusal
/// (its own message), or another copy of korvel holding the activation.
#[derive(Debug, Clone, PartialEq, Eq)]
pub struct Error {
    message: String,
}

impl Error {
    pub(crate) fn new(message: String) -> Error {
        Error { message }
    }

    pub fn message(&self) -> &str {
        &self.message
    }

    pub(crate) fn last() -> Error {
        // SAFETY: kor_last_error never returns NULL; the text is the library's.
        let text = unsafe { CStr::from_ptr(sys::kor_last_error()) };
        Error {
            message: text.to_string_lossy().into_owned(),
        }
    }
}

impl fmt::Display for Error {
    fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
        f.write_str(&self.message)
    }
}

impl std::error::Error for Error {}

/// Keeps the machine awake until it is dropped (or [`Hold::release`]d), and
/// at most for its time or while its process lives.
#[derive(Debug)]
pub struct Hold {
    id: u64,
}

impl Hold {
    /// Takes a hold beside any others in force. An error says why: an
    /// option out of range or options that do not go together (checked
    /// before the library is asked), the library's own refusal, or another
    /// copy of korvel holding the activation. Nothing is held then, and the
    /// other holds stay as they are.
    pub fn new(options: Options) -> Result<Hold, Error> {
        registry::take(options.request()?).map(|id| Hold { id })
    }

    /// This hold is in force now: its time is not up, its process lives,
    /// and the library's activation is still the one asked for.
    pub fn held(&self) -> bool {
        registry::held(self.id)
    }

    /// Ends this hold now (as dropping it does); the others stay in force.
    pub fn release(self) {}
}

impl Drop for Hold {
    fn drop(&mut self) {
        registry::release(self.id);
    }
}

/// The library's status report.
#[derive(Debug, Clone, Default, PartialEq, Eq)]
pub struct Status {
    pub active: bool,
    /// "none", "indefinite", "minutes", "while_pid" or "while_process".
    pub mode: String,
    /// Whole seconds left of a timed hold, rounded up; else 0.
    pub remaining_s: i64,
    pub keep_display: bool,
    /// "linux" or "windows".
    pub platform: String,
    /// What holds the inhibition, e.g. "logind"; "none" when nothing is held.
    pub mechanism: String,
    pub pid: i64,
    pub name: String,
    /// The report as the library wrote it (a compact JSON object).
    pub json: String,
}

/// The library's status (with KORVEL_FAKE_SUCCESS, the stand-in's).
pub fn status() -> Result<Status, Error> {
    registry::status()
}

impl Status {
    pub(crate) fn from_json(json: &str) -> Status {
        let report = json::parse(json).unwrap_or(json::Value::Null);
        let number = |key| report.get(key).and_then(json::Value::as_f64).unwrap_or(0.0) as i64;
        let text = |key| {
            report
                .get(key)
                .and_then(json::Value::as_str)
                .unwrap_or_default()
                .to_owned()
        };
        Status {
            active: number("active") != 0,
            mode: text("mode"),
            remaining_s: number("remaining_s"),
            keep_display: number("keep_display") != 0,
            platform: text("platform"),
            mechanism: text("mechanism"),
            pid: number("pid"),
            name: text("name"),
            json: json.to_owned(),
        }
    }
}
