//! Every row of the front-ends' table (tests/policy/cases.json): option rows
//! against `Options::to_json`, hold rows against the library.
use korvel::json::{parse, Value};
use korvel::{Hold, Options};
use std::collections::HashMap;
use std::process::{Child, Command};
use std::time::{Duration, Instant};

fn cases(table: &str) -> Vec<Value> {
    let source = std::env::var("KORVEL_SOURCE_DIR").unwrap_or_else(|_| format!("{}/../..", env!("CARGO_MANIFEST_DIR")));
    let text = std::fs::read_to_string(format!("{}/tests/policy/cases.json", source)).expect("cases.json");
    match parse(&text).expect("cases.json is JSON").get(table) {
        Some(Value::Array(rows)) => rows.clone(),
        _ => panic!("no {} in cases.json", table),
    }
}

// The options as Rust's types take them; None when a value has no Rust form
// (its compiler refuses it).
fn options(given: &Value) -> Option<Options> {
    let members = match given {
        Value::Object(members) => members,
        _ => return None,
    };
    let whole = |n: f64, low: f64, high: f64| (n.fract() == 0.0 && n >= low && n <= high).then_some(n);
    members
        .iter()
        .try_fold(Options::new(), |o, (key, value)| match (key.as_str(), value) {
            ("minutes", Value::Number(m)) => Some(o.minutes(*m)),
            ("seconds", Value::Number(s)) => whole(*s, 0.0, u32::MAX.into()).map(|s| o.seconds(s as u32)),
            ("pid", Value::Number(p)) => whole(*p, i32::MIN.into(), i32::MAX.into()).map(|p| o.pid(p as i32)),
            ("process", Value::Text(t)) => Some(o.process(t)),
            ("display", Value::Bool(b)) => Some(o.display(*b)),
            ("name", Value::Text(t)) => Some(o.name(t)),
            ("app", Value::Text(t)) => Some(o.app(t)),
            _ => None,
        })
}

#[test]
fn every_options_row() {
    let rows = cases("options");
    let mut inexpressible = 0;
    for row in &rows {
        let given = row.get("given").unwrap();
        let refused = row.get("refused").and_then(Value::as_str);
        let rust_refuses = row.get("error").and_then(|e| e.get("rust")).is_some();
        match (options(given).map(|o| o.to_json()), row.get("request")) {
            (None, None) if !rust_refuses => inexpressible += 1,
            (Some(Ok(text)), Some(request)) => assert_eq!(&parse(&text).unwrap(), request, "{:?}", given),
            (Some(Err(e)), None) if rust_refuses => {
                assert!(e.message().contains(refused.unwrap()), "{:?}: {}", given, e)
            }
            (got, _) => panic!("{:?} gave {:?}", given, got),
        }
    }
    eprintln!(
        "options: {} rows, {} of them with no Rust form",
        rows.len(),
        inexpressible
    );
}

fn play(steps: &[Value]) {
    let mut holds: HashMap<String, Option<Hold>> = HashMap::new();
    let mut children: HashMap<String, Child> = HashMap::new();
    let held = |holds: &HashMap<String, Option<Hold>>, id: &str| holds[id].as_ref().map_or(false, Hold::held);
    for step in steps {
        let step = match step {
            Value::Array(step) => step,
            _ => panic!("{:?}", step),
        };
        let word = |i: usize| step[i].as_str().unwrap_or_default();
        let given = |value: &Value| {
            let members = match value {
                Value::Object(members) => members,
                _ => panic!("{:?}", value),
            };
            let fill = |v: &Value| match v.as_str().and_then(|t| t.strip_prefix('$')) {
                Some(child) => Value::Number(children[child].id().into()),
                None => v.clone(),
            };
            options(&Value::Object(
                members.iter().map(|(k, v)| (k.clone(), fill(v))).collect(),
            ))
            .unwrap()
        };
        match word(0) {
            "spawn" => drop(children.insert(word(1).into(), Command::new("sleep").arg("1000").spawn().unwrap())),
            "kill" => children
                .get_mut(word(1))
                .map(|c| (c.kill(), c.wait()))
                .map(drop)
                .unwrap(),
            "take" => drop(holds.insert(word(1).into(), Some(Hold::new(given(&step[2])).unwrap()))),
            "refuse" => {
                let e = Hold::new(given(&step[1])).expect_err("granted");
                assert!(e.message().contains(word(2)), "{}", e);
            }
            "release" => drop(holds.get_mut(word(1)).unwrap().take()),
            "await_end" => {
                let end = Instant::now() + Duration::from_secs(10);
                while held(&holds, word(1)) && Instant::now() < end {
                    std::thread::sleep(Duration::from_millis(20));
                }
                assert!(!held(&holds, word(1)), "{} still held", word(1));
            }
            "expect" => {
                let want = &step[1];
                let ids = |key| match want.get(key) {
                    Some(Value::Array(ids)) => ids.iter().map(|id| id.as_str().unwrap().to_owned()).collect(),
                    _ => Vec::new(),
                };
                ids("held")
                    .iter()
                    .for_each(|id| assert!(held(&holds, id), "{} is not held", id));
                ids("ended")
                    .iter()
                    .for_each(|id| assert!(!held(&holds, id), "{} is held", id));
                let now = parse(&korvel::status().unwrap().json).unwrap();
                for key in ["active", "keep_display", "mode", "name"] {
                    if let Some(value) = want.get(key) {
                        assert_eq!(now.get(key), Some(value), "{} in {:?}", key, now);
                    }
                }
            }
            other => panic!("unknown step {}", other),
        }
    }
}

#[test]
fn every_holds_row() {
    let rows = cases("holds");
    for row in &rows {
        eprintln!("holds: {}", row.get("name").and_then(Value::as_str).unwrap());
        match row.get("steps") {
            Some(Value::Array(steps)) => play(steps),
            _ => panic!("{:?}", row),
        }
    }
    assert!(!korvel::status().unwrap().active);
    eprintln!("holds: {} rows", rows.len());
}
