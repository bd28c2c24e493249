// Reads an E57 file with web-e57 (an E57 reader compiled to WebAssembly, from the npm registry,
// installed by bench/install-e57-reader.sh) and prints what it gives: `node e57_read.mjs F.e57
// XYZ` the points, `... XML` the XML section. For scripts/check-scans.py, as a reader that is
// not levelling-cloud's. The package is built for bundlers, so its WebAssembly is instantiated
// here with the imports of its glue code.
import { readFileSync } from "fs";
import { join, resolve } from "path";
import { pathToFileURL } from "url";

const [file, format] = process.argv.slice(2);
const prefix = resolve(process.env.E57_READER_PREFIX);
const root = join(prefix, "node_modules", "web-e57");
const glue = await import(pathToFileURL(join(root, "e57_bg.js")).href);
const bytes = readFileSync(join(root, "e57_bg.wasm"));
const imports = { "./e57_bg.js": glue };
const { instance } = await WebAssembly.instantiate(bytes, imports);
glue.__wbg_set_wasm(instance.exports);
process.stdout.write(glue.convertE57(new Uint8Array(readFileSync(file)), format));
