// Decodes a LAZ file with laz-perf (LAZ compiled to WebAssembly: an independent decoder, from
// the npm registry; bench/install-lazperf.sh installs it beside the build, never for the
// programs) and writes its point records, one after another, to a file.
//
// Usage: node bench/lazperf_decode.js in.laz records.bin
// Prints the point count and the seconds the decoding took.
const fs = require('fs');
const path = require('path');

async function main() {
  const [input, output] = process.argv.slice(2);
  const modules = process.env.LAZPERF_MODULES || path.join(__dirname, '..', 'build', 'lazperf',
                                                           'node_modules');
  const { createLazPerf } = require(path.join(modules, 'laz-perf'));
  const LazPerf = await createLazPerf();
  const file = fs.readFileSync(input);
  const started = process.hrtime.bigint();
  const filePointer = LazPerf._malloc(file.byteLength);
  LazPerf.HEAPU8.set(file, filePointer);
  const laszip = new LazPerf.LASZip();
  laszip.open(filePointer, file.byteLength);
  const count = laszip.getCount();
  const length = laszip.getPointLength();
  const pointPointer = LazPerf._malloc(length);
  const out = output ? fs.openSync(output, 'w') : null;
  const batch = Buffer.alloc(length * 65536);
  let filled = 0;
  for (let i = 0; i < count; ++i) {
    laszip.getPoint(pointPointer);
    if (out !== null) {
      batch.set(LazPerf.HEAPU8.subarray(pointPointer, pointPointer + length), filled * length);
      if (++filled === 65536) {
        fs.writeSync(out, batch, 0, filled * length);
        filled = 0;
      }
    }
  }
  if (out !== null) {
    fs.writeSync(out, batch, 0, filled * length);
    fs.closeSync(out);
  }
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;
  laszip.delete();
  LazPerf._free(pointPointer);
  LazPerf._free(filePointer);
  console.log(`${count} points of ${length} bytes in ${seconds.toFixed(3)} s`);
}

main().catch((error) => {
  console.error(`lazperf_decode: ${error.message}`);
  process.exit(1);
});
