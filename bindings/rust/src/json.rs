//! A small JSON reader and the string quoting of its writer: enough for the
//! status report the library writes, the options text it reads, and the
//! tests' table of cases. Not part of the crate's API.
use std::collections::BTreeMap;

#[derive(Debug, Clone, PartialEq)]
pub enum Value {
    Null,
    Bool(bool),
    Number(f64),
    Text(String),
    Array(Vec<Value>),
    Object(BTreeMap<String, Value>),
}

impl Value {
    pub fn get(&self, key: &str) -> Option<&Value> {
        match self {
            Value::Object(members) => members.get(key),
            _ => None,
        }
    }
    pub fn as_f64(&self) -> Option<f64> {
        match self {
            Value::Number(n) => Some(*n),
            _ => None,
        }
    }
    pub fn as_str(&self) -> Option<&str> {
        match self {
            Value::Text(s) => Some(s),
            _ => None,
        }
    }
}

/// Reads one JSON value that fills the whole text.
pub fn parse(text: &str) -> Result<Value, String> {
    let mut reader = Reader {
        bytes: text.as_bytes(),
        at: 0,
    };
    let value = reader.value()?;
    reader.space();
    if reader.at != reader.bytes.len() {
        return Err(format!("trailing text at byte {}", reader.at));
    }
    Ok(value)
}

/// `text` as a JSON string.
pub fn quoted(text: &str) -> String {
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

struct Reader<'a> {
    bytes: &'a [u8],
    at: usize,
}

impl Reader<'_> {
    fn space(&mut self) {
        while self.bytes.get(self.at).map_or(false, |b| b.is_ascii_whitespace()) {
            self.at += 1;
        }
    }

    fn next(&mut self) -> Result<u8, String> {
        let byte = *self.bytes.get(self.at).ok_or("unexpected end")?;
        self.at += 1;
        Ok(byte)
    }

    fn expect(&mut self, byte: u8) -> Result<(), String> {
        self.space();
        match self.next()? {
            b if b == byte => Ok(()),
            b => Err(format!(
                "expected '{}' at byte {}, not '{}'",
                byte as char,
                self.at - 1,
                b as char
            )),
        }
    }

    fn value(&mut self) -> Result<Value, String> {
        self.space();
        match self.bytes.get(self.at) {
            Some(b'{') => self.object(),
            Some(b'[') => self.array(),
            Some(b'"') => self.string().map(Value::Text),
            Some(b't') => self.word("true", Value::Bool(true)),
            Some(b'f') => self.word("false", Value::Bool(false)),
            Some(b'n') => self.word("null", Value::Null),
            _ => self.number(),
        }
    }

    fn word(&mut self, word: &str, value: Value) -> Result<Value, String> {
        if !self.bytes[self.at..].starts_with(word.as_bytes()) {
            return Err(format!("unknown word at byte {}", self.at));
        }
        self.at += word.len();
        Ok(value)
    }

    fn number(&mut self) -> Result<Value, String> {
        let start = self.at;
        while self
            .bytes
            .get(self.at)
            .map_or(false, |b| b"+-.eE0123456789".contains(b))
        {
            self.at += 1;
        }
        let text = std::str::from_utf8(&self.bytes[start..self.at]).unwrap_or("");
        text.parse()
            .map(Value::Number)
            .map_err(|_| format!("not a value at byte {}", start))
    }

    fn items<T>(&mut self, close: u8, mut item: impl FnMut(&mut Self) -> Result<T, String>) -> Result<Vec<T>, String> {
        self.at += 1;
        let mut items = Vec::new();
        self.space();
        if self.bytes.get(self.at) == Some(&close) {
            self.at += 1;
            return Ok(items);
        }
        loop {
            items.push(item(self)?);
            self.space();
            match self.next()? {
                b',' => {}
                b if b == close => return Ok(items),
                _ => return Err(format!("expected ',' or '{}' at byte {}", close as char, self.at - 1)),
            }
        }
    }

    fn array(&mut self) -> Result<Value, String> {
        self.items(b']', Self::value).map(Value::Array)
    }

    fn object(&mut self) -> Result<Value, String> {
        let members = self.items(b'}', |r| {
            r.space();
            let key = r.string()?;
            r.expect(b':')?;
            Ok((key, r.value()?))
        })?;
        Ok(Value::Object(members.into_iter().collect()))
    }

    fn string(&mut self) -> Result<String, String> {
        self.expect(b'"')?;
        let mut out = Vec::new();
        loop {
            match self.next()? {
                b'"' => return String::from_utf8(out).map_err(|e| e.to_string()),
                b'\\' => {
                    let c = match self.next()? {
                        b'n' => '\n',
                        b't' => '\t',
                        b'r' => '\r',
                        b'b' => '\u{8}',
                        b'f' => '\u{c}',
                        b'u' => self.escaped_char()?,
                        other => other as char,
                    };
                    out.extend_from_slice(c.encode_utf8(&mut [0; 4]).as_bytes());
                }
                byte => out.push(byte),
            }
        }
    }

    // After "\u": four hex digits, and a second escape for a character
    // beyond the BMP.
    fn escaped_char(&mut self) -> Result<char, String> {
        let unit = self.hex4()?;
        let code = if (0xd800..0xdc00).contains(&unit) && self.bytes[self.at..].starts_with(b"\\u") {
            self.at += 2;
            0x10000 + ((unit - 0xd800) << 10) + (self.hex4()?.wrapping_sub(0xdc00) & 0x3ff)
        } else {
            unit
        };
        Ok(char::from_u32(code).unwrap_or('\u{fffd}'))
    }

    fn hex4(&mut self) -> Result<u32, String> {
        let digits = self.bytes.get(self.at..self.at + 4).ok_or("unexpected end")?;
        self.at += 4;
        u32::from_str_radix(std::str::from_utf8(digits).unwrap_or(""), 16).map_err(|e| e.to_string())
    }
}
