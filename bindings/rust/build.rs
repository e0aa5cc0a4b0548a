//! Finds the korvel library to link: the folder KORVEL_LIB_DIR names, else
//! the one pkg-config's korvel.pc gives (an install, or the .deb's
//! libkorvel-dev). The crate links libbrenvic-korvel-sleep-blocker.so, the
//! library's lib name.
use std::env;
use std::path::{Path, PathBuf};
use std::process::Command;

const LIB_FILE: &str = "libbrenvic-korvel-sleep-blocker.so";

fn from_pkg_config() -> Result<PathBuf, String> {
    let out = Command::new("pkg-config")
        .args(["--variable=libdir", "korvel"])
        .output()
        .map_err(|e| format!("pkg-config: {}", e))?;
    if !out.status.success() {
        return Err(format!("pkg-config: {}", String::from_utf8_lossy(&out.stderr).trim()));
    }
    Ok(PathBuf::from(String::from_utf8_lossy(&out.stdout).trim()))
}

fn main() {
    println!("cargo:rerun-if-env-changed=KORVEL_LIB_DIR");
    println!("cargo:rerun-if-env-changed=PKG_CONFIG_PATH");
    let dir = match env::var_os("KORVEL_LIB_DIR") {
        Some(dir) => PathBuf::from(dir),
        None => from_pkg_config().unwrap_or_else(|why| {
            panic!(
                "korvel's library was not found ({}): install korvel with its pkg-config file \
                 (libkorvel-dev), or set KORVEL_LIB_DIR to the folder that holds {}",
                why, LIB_FILE
            )
        }),
    };
    if !Path::new(&dir).join(LIB_FILE).exists() {
        panic!("{} has no {}: point KORVEL_LIB_DIR at a korvel build or install", dir.display(), LIB_FILE);
    }
    println!("cargo:rustc-link-search=native={}", dir.display());
    println!("cargo:rustc-link-lib=dylib=brenvic-korvel-sleep-blocker");
    // This crate's tests and examples find the library where it was linked;
    // dependents' binaries find an installed one through the loader.
    println!("cargo:rustc-link-arg=-Wl,-rpath,{}", dir.display());
    println!("cargo:libdir={}", dir.display());
}
