#!/usr/bin/env python3
"""The largest answer of each reading tool on documents of dense scripts, counted with the
Claude tokenizer: none may pass the client's 25,000-token limit.

For base64 in a code block, a one-line data URI, an emoji table, Hangul, Thai, Devanagari, kana,
CJK and English, a document of about 200 KB is read through `quillbox serve` with read_file,
md_read_block (its one big section), md_read_blocks, md_list_blocks and md_search_blocks; every
page is followed to the end, so every answer a reader would get is counted.

Run with the virtual environment of token_economy.sh:
  build/bench-economy/venv/bin/python bench/dense_scripts.py [--quillbox build/debug/bin/quillbox]
"""
import argparse
import importlib.util
import os
import random
import re
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location("token_economy", os.path.join(here, "token_economy.py"))
te = importlib.util.module_from_spec(spec)
spec.loader.exec_module(te)


def rnd(rng, alphabet, n):
    return "".join(rng.choice(alphabet) for _ in range(n))


def documents(rng):
    b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    r = lambda a, b: [chr(c) for c in range(a, b + 1)]
    words = lambda alphabet, n: " ".join(rnd(rng, alphabet, rng.randint(1, 6)) for _ in range(n))
    para = lambda alphabet: "\n".join(words(alphabet, 12) for _ in range(4000))
    docs = {
        "base64 block": "```\n" + "\n".join(rnd(rng, b64, 76) for _ in range(2600)) + "\n```",
        "data URI line": "![x](data:image/png;base64," + rnd(rng, b64, 200000) + ")",
        "emoji table": "\n".join("| " + " | ".join(rnd(rng, r(0x1F300, 0x1FAFF), 3) for _ in range(4)) + " |"
                                 for _ in range(4000)),
        "Hangul": para(r(0xAC00, 0xD7A3)),
        "Thai": para(r(0x0E01, 0x0E30)),
        "Devanagari": para(r(0x0905, 0x0939)),
        "kana": para(r(0x3041, 0x30FA)),
        "CJK": para(r(0x4E00, 0x9FFF)),
        "English": open("/usr/share/common-licenses/GPL-3", encoding="utf-8").read() * 6,
    }
    return {k: f"# Dense {k}\n\nquokka intro\n\n## Body\n\nquokka\n{v}\n\n## End\n\nquokka end\n" for k, v in docs.items()}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quillbox", default=os.path.join(os.path.dirname(here), "build/debug/bin/quillbox"))
    args = ap.parse_args()
    tokenizer = te.load_tokenizer()
    count = lambda text: len(tokenizer.encode(text).ids)
    rng = random.Random(2025)
    worst_all = 0
    print(f"{'document':16s} {'tool':18s} {'answers':>7s} {'largest':>8s}")
    with tempfile.TemporaryDirectory() as root:
        server = te.Server(args.quillbox, root)
        try:
            for name, text in documents(rng).items():
                path = os.path.join(root, re.sub(r"\W+", "_", name) + ".md")
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text)
                blocks = te.full_listing(server, path)
                body = next(b["id"] for b in blocks if b["title"] == "Body")
                per_tool = {}

                def follow(tool, arguments):
                    for _ in range(1000):
                        answer, _err = server.call(tool, arguments)
                        per_tool.setdefault(tool, []).append(count(answer))
                        last = answer.rsplit("\n", 1)[-1]
                        m = re.search(r"offset=(\d+)", last)
                        if not m or tool in ("md_read_blocks", "md_search_blocks"):
                            return
                        arguments = dict(arguments, offset=int(m[1]))
                        c = re.search(r"column=(\d+)", last)
                        arguments.pop("column", None)
                        if c:
                            arguments["column"] = int(c[1])

                follow("read_file", {"file_path": path})
                follow("md_read_block", {"file_path": path, "block_id": body})
                follow("md_read_blocks", {"file_path": path, "block_ids": [b["id"] for b in blocks]})
                follow("md_list_blocks", {"file_path": path, "short_ids": True})
                follow("md_search_blocks", {"query": "quokka"})
                for tool, counts in per_tool.items():
                    worst_all = max(worst_all, max(counts))
                    print(f"{name:16s} {tool:18s} {len(counts):7d} {max(counts):8d}")
        finally:
            server.close()
    print(f"largest answer of all: {worst_all} tokens (client limit {te.CLIENT_LIMIT})")
    return 0 if worst_all <= te.CLIENT_LIMIT else 1


if __name__ == "__main__":
    raise SystemExit(main())
