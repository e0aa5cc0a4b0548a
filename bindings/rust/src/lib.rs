//! Keep the machine awake, through the korvel library.
//!
//! ```no_run
//! let _awake = korvel::Hold::new(korvel::Options::new().minutes(30.0).name("backup"))?;
//! run_the_backup();
//! // dropping the hold ends it
//! # fn run_the_backup() {}
//! # Ok::<(), korvel::Error>(())
//! ```
//!
//! While a [`Hold`] is in force the library holds the operating system's own
//! sleep inhibition (on Linux a systemd-logind lock, plus the desktop
//! session's inhibitor where one answers). The library holds one activation
//! per process, so holds do not nest: [`Hold::new`] while another hold is in
//! force returns an error and leaves the first as it is. A timed or
//! process-bound hold may end by itself before it is dropped.
//!
//! The crate links `libbrenvic-korvel-sleep-blocker.so`, found by `build.rs`
//! in the folder `KORVEL_LIB_DIR` names or through pkg-config.
use std::ffi::{CStr, CString};
use std::fmt;
use std::sync::atomic::{AtomicBool, Ordering};

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

/// The machine could not be kept awake; the text is the library's message
/// (or says that another hold is in force).
#[derive(Debug, Clone, PartialEq, Eq)]
pub struct Error {
    message: String,
}

impl Error {
    pub fn message(&self) -> &str {
        &self.message
    }

    fn last() -> Error {
        // SAFETY: kor_last_error never returns NULL; the text is the library's.
        let text = unsafe { CStr::from_ptr(sys::kor_last_error()) };
        Error { message: text.to_string_lossy().into_owned() }
    }
}

impl fmt::Display for Error {
    fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
        f.write_str(&self.message)
    }
}

impl std::error::Error for Error {}

/// What to hold for: at most one of `minutes`, `seconds`, `pid` and
/// `process` (the last one set counts); with none, until the hold is dropped.
/// The options are those of the Python and Node packages.
#[derive(Debug, Clone, Default)]
pub struct Options {
    end: Option<(&'static str, String)>,
    display: bool,
    name: Option<String>,
}

impl Options {
    pub fn new() -> Options {
        Options::default()
    }
    /// For this many minutes (rounded to whole seconds, at least 1).
    pub fn minutes(mut self, minutes: f64) -> Options {
        self.end = Some(("minutes", format!("\"minutes\":{}", minutes)));
        self
    }
    pub fn seconds(mut self, seconds: u32) -> Options {
        self.end = Some(("minutes", format!("\"seconds\":{}", seconds)));
        self
    }
    /// While the process with this id lives.
    pub fn pid(mut self, pid: i32) -> Options {
        self.end = Some(("while_pid", format!("\"pid\":{}", pid)));
        self
    }
    /// While the oldest running process whose executable is called this
    /// lives; the hold is named after it.
    pub fn process(mut self, executable: &str) -> Options {
        self.end = Some(("while_process", format!("\"name\":{}", quoted(executable))));
        self
    }
    /// Keep the display on as well.
    pub fn display(mut self, keep_display: bool) -> Options {
        self.display = keep_display;
        self
    }
    /// What `systemd-inhibit --list` and the desktop show.
    pub fn name(mut self, name: &str) -> Options {
        self.name = Some(name.to_owned());
        self
    }

    /// The options text the library reads.
    pub fn to_json(&self) -> String {
        let mode = self.end.as_ref().map_or("indefinite", |end| end.0);
        let mut text = format!("{{\"mode\":\"{}\",\"keep_display\":{}", mode, self.display);
        if let Some((_, member)) = &self.end {
            text.push(',');
            text.push_str(member);
        }
        if let Some(name) = &self.name {
            text.push_str(",\"name\":");
            text.push_str(&quoted(name));
        }
        text.push('}');
        text
    }
}

fn quoted(text: &str) -> String {
    let mut out = String::from("\"");
    for c in text.chars() {
        match c {
            '"' => out.push_str("\\\""),
            '\\' => out.push_str("\\\\"),
            c if (c as u32) < 0x20 => out.push_str(&format!("\\u{:04x}", c as u32)),
            c => out.push(c),
        }
    }
    out.push('"');
    out
}

static HOLD_IN_FORCE: AtomicBool = AtomicBool::new(false);

/// Keeps the machine awake until it is dropped (or [`Hold::release`]d).
#[derive(Debug)]
pub struct Hold {
    _private: (),
}

impl Hold {
    /// Takes the hold; an error carries the library's message, and nothing
    /// is held then.
    pub fn new(options: Options) -> Result<Hold, Error> {
        let text = CString::new(options.to_json())
            .map_err(|_| Error { message: "the options hold a NUL character".to_owned() })?;
        if HOLD_IN_FORCE.swap(true, Ordering::SeqCst) {
            return Err(Error {
                message: "a korvel hold is in force already: the library holds one activation per \
                          process, so holds cannot nest or overlap"
                    .to_owned(),
            });
        }
        // SAFETY: a NUL-terminated text, only read during the call.
        if unsafe { sys::kor_on(text.as_ptr()) } != 1 {
            let error = Error::last();
            HOLD_IN_FORCE.store(false, Ordering::SeqCst);
            return Err(error);
        }
        Ok(Hold { _private: () })
    }

    /// Ends the hold now (as dropping it does).
    pub fn release(self) {}
}

impl Drop for Hold {
    fn drop(&mut self) {
        // SAFETY: no arguments; always succeeds.
        unsafe { sys::kor_off() };
        HOLD_IN_FORCE.store(false, Ordering::SeqCst);
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

/// The library's status.
pub fn status() -> Result<Status, Error> {
    // SAFETY: the text is the caller's until handed back to kor_free_string.
    let json = unsafe {
        let text = sys::kor_status();
        if text.is_null() {
            return Err(Error::last());
        }
        let json = CStr::from_ptr(text).to_string_lossy().into_owned();
        sys::kor_free_string(text.cast());
        json
    };
    let mut status = Status { json: json.clone(), ..Status::default() };
    for (key, value) in members(&json) {
        match (key.as_str(), value) {
            ("active", Value::Number(n)) => status.active = n != 0,
            ("mode", Value::Text(s)) => status.mode = s,
            ("remaining_s", Value::Number(n)) => status.remaining_s = n,
            ("keep_display", Value::Number(n)) => status.keep_display = n != 0,
            ("platform", Value::Text(s)) => status.platform = s,
            ("mechanism", Value::Text(s)) => status.mechanism = s,
            ("pid", Value::Number(n)) => status.pid = n,
            ("name", Value::Text(s)) => status.name = s,
            _ => {}
        }
    }
    Ok(status)
}

enum Value {
    Number(i64),
    Text(String),
}

// The members of the status report: one flat object of integers and
// strings, as the library writes it.
fn members(json: &str) -> Vec<(String, Value)> {
    let mut out = Vec::new();
    let mut chars = json.trim().trim_start_matches('{').chars().peekable();
    while let Some(c) = chars.next() {
        if c != '"' {
            continue;
        }
        let key = read_string(&mut chars);
        while chars.peek().map_or(false, |c| *c == ':' || c.is_whitespace()) {
            chars.next();
        }
        let value = if chars.peek() == Some(&'"') {
            chars.next();
            Value::Text(read_string(&mut chars))
        } else {
            let mut number = String::new();
            while let Some(c) = chars.peek().copied().filter(|c| *c == '-' || c.is_ascii_digit()) {
                number.push(c);
                chars.next();
            }
            Value::Number(number.parse().unwrap_or(0))
        };
        out.push((key, value));
    }
    out
}

fn read_string(chars: &mut std::iter::Peekable<std::str::Chars<'_>>) -> String {
    let mut out = String::new();
    while let Some(c) = chars.next() {
        match c {
            '"' => break,
            '\\' => match chars.next() {
                Some('n') => out.push('\n'),
                Some('t') => out.push('\t'),
                Some('r') => out.push('\r'),
                Some('b') => out.push('\u{8}'),
                Some('f') => out.push('\u{c}'),
                Some('u') => {
                    let hex: String = chars.by_ref().take(4).collect();
                    let unit = u32::from_str_radix(&hex, 16).unwrap_or(0xfffd);
                    // A surrogate pair for characters beyond the BMP.
                    let code = if (0xd800..0xdc00).contains(&unit) && chars.peek() == Some(&'\\') {
                        chars.next();
                        chars.next();
                        let low: String = chars.by_ref().take(4).collect();
                        let low = u32::from_str_radix(&low, 16).unwrap_or(0);
                        0x10000 + ((unit - 0xd800) << 10) + (low.wrapping_sub(0xdc00) & 0x3ff)
                    } else {
                        unit
                    };
                    out.push(char::from_u32(code).unwrap_or('\u{fffd}'));
                }
                Some(other) => out.push(other),
                None => break,
            },
            c => out.push(c),
        }
    }
    out
}
