// Reading accuracy of a Sonvale voice against an independent labeller.
//
//   cd bench && npm install && node reading_accuracy.mjs [--sonvale PATH] [--voice NAME] [--top N]
//
// Labels every ideograph of everyday_text/ (traditional/ and simplified/:
// conversation, news, forum posts, numbers written in characters) twice: with
// `sonvale analyze --json` (the jyutping of the unit each syllable speaks) and
// with to-jyutping from npm. Prints the agreement in syllable with tone and in
// syllable alone, per half and in all, then the most frequent disagreements
// with the word the voice read each in. Only ideographs that both label count.
import { execFileSync } from "node:child_process";
import { readdirSync, readFileSync } from "node:fs";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";
import ToJyutping from "to-jyutping";

const here = dirname(fileURLToPath(import.meta.url));
const args = process.argv.slice(2);
const option = (name, fallback) => {
  const i = args.indexOf(name);
  return i >= 0 && i + 1 < args.length ? args[i + 1] : fallback;
};
const sonvale = option("--sonvale", join(here, "..", "build", "tools", "sonvale"));
const voice = option("--voice", "");
const top = Number(option("--top", "50"));

const isIdeograph = (c) => c >= "\u4E00" && c <= "\u9FFF";
const toneless = (s) => s.replace(/[1-6]$/, "");

// The voice's jyutping per UTF-16 offset of the text.
function voiceReadings(file) {
  const command = ["analyze", "--json", "-f", file];
  if (voice) command.push("--voice", voice);
  const words = JSON.parse(execFileSync(sonvale, command, { encoding: "utf8", maxBuffer: 1 << 28 }));
  const byOffset = new Map();
  for (const w of words) {
    if (w.jyutping.length !== w.length) continue;  // a word read with another syllable count
    for (let k = 0; k < w.length; ++k) byOffset.set(w.position + k, { jyutping: w.jyutping[k], word: w.text });
  }
  return byOffset;
}

const totals = {};
const disagreements = new Map();
for (const half of ["traditional", "simplified"]) {
  const folder = join(here, "everyday_text", half);
  const t = (totals[half] = { chars: 0, same: 0, sameSyllable: 0 });
  for (const name of readdirSync(folder).filter((n) => n.endsWith(".txt")).sort()) {
    const file = join(folder, name);
    const text = readFileSync(file, "utf8");
    const ours = voiceReadings(file);
    let offset = 0;
    for (const [chars, reference] of ToJyutping.getJyutpingList(text)) {
      const at = offset;
      offset += chars.length;
      if (chars.length !== 1 || !isIdeograph(chars) || !reference) continue;
      const mine = ours.get(at);
      if (!mine || !mine.jyutping) continue;
      const ref = reference.split(" ")[0];
      ++t.chars;
      if (mine.jyutping === ref) ++t.same;
      if (toneless(mine.jyutping) === toneless(ref)) ++t.sameSyllable;
      if (mine.jyutping !== ref) {
        const key = `${chars}\t${mine.jyutping}\t${ref}`;
        const d = disagreements.get(key) ?? { count: 0, words: new Set() };
        ++d.count;
        d.words.add(mine.word);
        disagreements.set(key, d);
      }
    }
  }
}

const percent = (n, d) => (d === 0 ? "-" : ((100 * n) / d).toFixed(2) + "%");
const all = { chars: 0, same: 0, sameSyllable: 0 };
console.log("half\tideographs\tsyllable+tone\tsyllable");
for (const [half, t] of Object.entries(totals)) {
  for (const k of Object.keys(all)) all[k] += t[k];
  console.log(`${half}\t${t.chars}\t${percent(t.same, t.chars)}\t${percent(t.sameSyllable, t.chars)}`);
}
console.log(`all\t${all.chars}\t${percent(all.same, all.chars)}\t${percent(all.sameSyllable, all.chars)}`);
console.log(`\nThe ${top} most frequent disagreements: character, voice, to-jyutping, count, words the voice read it in`);
[...disagreements.entries()]
  .sort((a, b) => b[1].count - a[1].count || (a[0] < b[0] ? -1 : 1))
  .slice(0, top)
  .forEach(([key, d]) => console.log(`${key}\t${d.count}\t${[...d.words].slice(0, 4).join(" ")}`));
