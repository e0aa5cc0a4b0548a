'use strict';
// Run by `npm pack` (prepack): with KORVEL_BUILD_DIR set to a korvel build
// folder, the package carries that build's library for this platform, with
// the yyjson it loads and yyjson's copyright, in prebuilds/<platform>-<arch>/.
// Without it, the package loads the system's library. The licence comes along
// either way.
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');

const here = path.join(__dirname, '..');
// The licence from the repository's root (bindings/node is two folders down).
fs.copyFileSync(path.join(here, '..', '..', 'LICENSE'), path.join(here, 'LICENSE'));
const prebuilds = path.join(here, 'prebuilds');
fs.rmSync(prebuilds, { recursive: true, force: true });

const build = process.env.KORVEL_BUILD_DIR;
if (!build) {
  console.error('korvel: KORVEL_BUILD_DIR is not set; the package will load the system\'s library');
  process.exit(0);
}
const library = path.resolve(build, 'brenvic-korvel-sleep-blocker.so');
if (!fs.existsSync(library)) {
  console.error(`korvel: ${library} not found; build the library first`);
  process.exit(1);
}
const out = path.join(prebuilds, `${process.platform}-${process.arch}`);
fs.mkdirSync(out, { recursive: true });
const carried = path.join(out, path.basename(library));
fs.copyFileSync(library, carried);
execFileSync('strip', ['--strip-debug', carried]);
// The library's RUNPATH ($ORIGIN) finds yyjson beside it.
const ldd = execFileSync('ldd', [library], { encoding: 'utf8' });
const yyjson = /^\s*libyyjson\.so\.0 => (\/\S+)/m.exec(ldd);
if (yyjson) {
  fs.copyFileSync(yyjson[1], path.join(out, 'libyyjson.so.0'));
  fs.copyFileSync('/usr/share/doc/libyyjson0/copyright', path.join(out, 'yyjson.copyright'));
}
console.error(`korvel: carrying ${library} for ${path.basename(out)}`);
