use crate::json::quoted;
use crate::Error;
use std::time::Duration;

const LARGEST: u32 = 2147483647;

/// What to hold for: at most one of `minutes`, `seconds`, `pid` and
/// `process` (with none, until the hold is dropped), and whether to keep the
/// display on, the hold's name and who asks. Every value is checked by
/// [`Options::to_json`] and [`crate::Hold::new`], before the library is asked.
#[derive(Debug, Clone, Default)]
pub struct Options {
    minutes: Option<f64>,
    seconds: Option<u32>,
    pid: Option<i32>,
    process: Option<String>,
    display: bool,
    name: Option<String>,
    app: Option<String>,
}

impl Options {
    pub fn new() -> Options {
        Options::default()
    }
    /// For this many minutes, above 0 and at most 35791394 (rounded to whole
    /// seconds, at least 1).
    pub fn minutes(mut self, minutes: f64) -> Options {
        self.minutes = Some(minutes);
        self
    }
    /// For this many seconds, at most 2147483647.
    pub fn seconds(mut self, seconds: u32) -> Options {
        self.seconds = Some(seconds);
        self
    }
    /// While the process with this id (1 or more) lives.
    pub fn pid(mut self, pid: i32) -> Options {
        self.pid = Some(pid);
        self
    }
    /// While the process with the lowest id whose executable is called this
    /// lives; the hold is named after it, so [`Options::name`] cannot be
    /// given too.
    pub fn process(mut self, executable: &str) -> Options {
        self.process = Some(executable.to_owned());
        self
    }
    /// Keep the display on as well.
    pub fn display(mut self, keep_display: bool) -> Options {
        self.display = keep_display;
        self
    }
    /// What `systemd-inhibit --list` and the desktop show; empty means none.
    pub fn name(mut self, name: &str) -> Options {
        self.name = Some(name.to_owned());
        self
    }
    /// Who asks, as logind's "who" and the desktop's app id show it; empty
    /// means the program's own name.
    pub fn app(mut self, app: &str) -> Options {
        self.app = Some(app.to_owned());
        self
    }

    /// The options text the library is asked for when no other hold is in
    /// force, or the error [`crate::Hold::new`] would give.
    pub fn to_json(&self) -> Result<String, Error> {
        self.request().map(|request| request.to_json())
    }

    pub(crate) fn request(&self) -> Result<Request, Error> {
        let refuse =
            |sentence: &str, value: &dyn std::fmt::Debug| Err(Error::new(format!("{}, not {:?}", sentence, value)));
        let text_ok = |text: &Option<String>| text.as_deref().map_or(true, |t| !t.contains('\0'));
        if let Some(m) = self.minutes.filter(|m| !(*m > 0.0 && *m <= 35791394.0)) {
            return refuse("minutes must be a number greater than 0 and at most 35791394", &m);
        }
        if let Some(s) = self.seconds.filter(|s| *s > LARGEST) {
            return refuse("seconds must be a whole number from 0 to 2147483647", &s);
        }
        if let Some(p) = self.pid.filter(|p| *p < 1) {
            return refuse("pid must be a whole number from 1 to 2147483647", &p);
        }
        if let Some(p) = self
            .process
            .as_ref()
            .filter(|p| p.is_empty() || p.contains(['/', '\0']))
        {
            return refuse(
                "process must be an executable's file name: a non-empty text without '/' or NUL",
                p,
            );
        }
        if !text_ok(&self.name) {
            return refuse(
                "name must be a text without NUL",
                &self.name.as_deref().unwrap_or_default(),
            );
        }
        if !text_ok(&self.app) {
            return refuse(
                "app must be a text without NUL",
                &self.app.as_deref().unwrap_or_default(),
            );
        }
        let ends = [
            self.minutes.is_some(),
            self.seconds.is_some(),
            self.pid.is_some(),
            self.process.is_some(),
        ];
        if ends.iter().filter(|given| **given).count() > 1 {
            return Err(Error::new(
                "only one of minutes, seconds, pid and process can be given".to_owned(),
            ));
        }
        if self.process.is_some() && self.name.is_some() {
            return Err(Error::new(
                "name cannot be given with process: the hold is named after the process".to_owned(),
            ));
        }
        let end = match (self.minutes, self.seconds, self.pid) {
            (Some(m), _, _) => End::Minutes(m),
            (_, Some(s), _) => End::Seconds(s),
            (_, _, Some(p)) => End::Pid(p),
            _ if self.process.is_some() => End::Process,
            _ => End::Never,
        };
        let name = self
            .process
            .as_ref()
            .or(self.name.as_ref())
            .cloned()
            .unwrap_or_default();
        Ok(Request {
            end,
            display: self.display,
            name,
            app: self.app.clone().unwrap_or_default(),
        })
    }
}

#[derive(Debug, Clone, PartialEq)]
pub(crate) enum End {
    Never,
    Minutes(f64),
    Seconds(u32),
    Pid(i32),
    /// The executable's name is the request's name.
    Process,
}

/// One request of the library: checked options, or the union of several.
#[derive(Debug, Clone, PartialEq)]
pub(crate) struct Request {
    pub end: End,
    pub display: bool,
    pub name: String,
    pub app: String,
}

impl Request {
    pub fn to_json(&self) -> String {
        let (mode, member) = match &self.end {
            End::Never => ("indefinite", String::new()),
            End::Minutes(m) => ("minutes", format!(",\"minutes\":{}", m)),
            End::Seconds(s) => ("minutes", format!(",\"seconds\":{}", s)),
            End::Pid(p) => ("while_pid", format!(",\"pid\":{}", p)),
            End::Process => ("while_process", String::new()),
        };
        let mut text = format!("{{\"mode\":\"{}\"{},\"keep_display\":{}", mode, member, self.display);
        for (key, value) in [("name", &self.name), ("app", &self.app)] {
            if !value.is_empty() {
                text.push_str(&format!(",\"{}\":{}", key, quoted(value)));
            }
        }
        text.push('}');
        text
    }

    /// How long the library holds a timed request.
    pub fn duration(&self) -> Option<Duration> {
        match self.end {
            // minutes x 60 to the nearest second, halves up, at least 1.
            End::Minutes(m) => Some(Duration::from_secs(((m * 60.0 + 0.5).floor() as u64).max(1))),
            End::Seconds(s) => Some(Duration::from_secs(s.into())),
            _ => None,
        }
    }

    pub fn bound_to_process(&self) -> bool {
        matches!(self.end, End::Pid(_) | End::Process)
    }
}
