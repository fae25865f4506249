#!/usr/bin/env python3
"""Calibrates the cautious token tally that keeps answers under the result budget.

Counts random text of each kind of character the tally tells apart with the Claude tokenizer
(the `tokenizers` package and the tokenizer.json of anthropic 0.34.2, as token_economy.sh sets
them up) and prints the most tokens a character of each kind took: the tally's weights in
src/quillbox/blockops/budget.cpp are these figures with a margin. Random text is the worst
case: real text of a script joins characters into fewer tokens.

With --samples FILE it also writes mixed texts of every script with their real counts, one JSON
object a line ({"script", "text", "tokens"}), for the suite's property test, which checks that
the tally never counts less than the tokenizer without needing the network.

Usage: bench/calibrate_tally.py --tokenizer PATH/tokenizer.json [--samples FILE] [--seed N]
"""
import argparse
import json
import random

import tokenizers

B64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


def chars(*ranges):
    return [chr(c) for a, b in ranges for c in range(a, b + 1)]


# The kinds of non-ASCII character the tally weighs apart, by code point ranges.
SCRIPTS = {
    "latin_greek_cyrillic_hebrew_arabic": chars((0x00C0, 0x024F), (0x0370, 0x03FF), (0x0400, 0x04FF),
                                                (0x05D0, 0x05EA), (0x0620, 0x064A)),
    "devanagari_indic": chars((0x0900, 0x097F), (0x0980, 0x09FF), (0x0B80, 0x0BFF)),
    "thai_lao": chars((0x0E01, 0x0E5B), (0x0E81, 0x0EDF)),
    "hangul": chars((0xAC00, 0xD7A3), (0x1100, 0x11FF), (0x3131, 0x318E)),
    "kana": chars((0x3041, 0x30FF)),
    "cjk": chars((0x4E00, 0x9FFF), (0x3400, 0x4DBF), (0x3000, 0x303F), (0xFF01, 0xFFEF)),
    "emoji_supplementary": chars((0x1F300, 0x1FAFF), (0x1D400, 0x1D7FF), (0x20000, 0x2A6DF)),
    "other_bmp": chars((0x2000, 0x2BFF), (0x2E80, 0x2FDF), (0xA000, 0xA48F)),
}

# ASCII kinds: letters, digits, spaces, line feeds, punctuation, and base64 (letters and digits
# mixed at random, the densest ASCII there is).
ASCII = {
    "letters": "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ",
    "digits": "0123456789",
    "punct": "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~",
    "base64": B64,
    "hex": "0123456789abcdef",
}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tokenizer", required=True)
    ap.add_argument("--samples")
    ap.add_argument("--seed", type=int, default=2512)
    args = ap.parse_args()
    tok = tokenizers.Tokenizer.from_file(args.tokenizer)
    count = lambda s: len(tok.encode(s).ids)
    rng = random.Random(args.seed)

    print("kind                                  chars  tokens  per char")
    for name, alphabet in list(SCRIPTS.items()) + [(k, list(v)) for k, v in ASCII.items()]:
        worst = 0.0
        for _ in range(8):
            text = "".join(rng.choice(alphabet) for _ in range(rng.randint(200, 3000)))
            worst = max(worst, count(text) / len(text))
        print(f"{name:36s} {'':5s} {'':6s}  {worst:.3f}")

    if args.samples:
        with open(args.samples, "w", encoding="utf-8") as out:
            for name, alphabet in SCRIPTS.items():
                for i in range(10):
                    # Runs of the script between spaces, line feeds and some ASCII, as text of
                    # that script stands in a Markdown table or a code block.
                    parts = []
                    for _ in range(rng.randint(20, 120)):
                        r = rng.random()
                        if r < 0.7:
                            parts.append("".join(rng.choice(alphabet) for _ in range(rng.randint(1, 12))))
                        elif r < 0.8:
                            parts.append("".join(rng.choice(B64) for _ in range(rng.randint(1, 40))))
                        else:
                            parts.append(rng.choice(["|", "-", "**", "`", "1.", "#", ":", "(x)"]))
                        parts.append(rng.choice([" ", " ", "\n", ""]))
                    text = "".join(parts)
                    out.write(json.dumps({"script": name, "text": text, "tokens": count(text)},
                                         ensure_ascii=False) + "\n")
            for name, alphabet in ASCII.items():
                for i in range(6):
                    text = "".join(rng.choice(alphabet + " \n") for _ in range(rng.randint(100, 2000)))
                    out.write(json.dumps({"script": name, "text": text, "tokens": count(text)}) + "\n")


if __name__ == "__main__":
    main()
