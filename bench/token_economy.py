#!/usr/bin/env python3
"""What one one-word edit of a Markdown document costs an agent, counted with a real tokenizer.

For every document of the corpus the same edit (one word of one line in a section in the middle
of the document) is made three ways, and every token the agent writes (its tool calls) and
receives (the tool results) is counted:

  A  whole-file read + whole-file write (Read, Write)
  B  whole-file read + one exact replacement (Read, Edit with the old line and the new line)
  G  the agent's best route on a large file: Grep the heading lines, Read just the section's
     lines (offset, limit), Edit
  Q  Quillbox: md_list_blocks with short ids, md_read_block, md_patch_block
  H2 Quillbox by heading: md_read_block, md_patch_block (file_path, heading)
  H1 Quillbox by heading, the text known: md_patch_block alone

A, B and G are the agent's own tools, simulated: Read answers with the numbered lines of the file
(`cat -n` style, as the agent's Read tool does), Edit with a short confirmation and four numbered
lines on each side of the change, Write with a one-line confirmation. Q runs for real against
`quillbox serve` over stdio, and the edited file is checked against the expected text.

Money: input tokens (what the agent receives) at $3 per million, output tokens (what it
writes) at $15 per million. Per call, the tokens the calls and answers hold; per session, what an
agent really pays (the session model): one model request per tool call and one after the last
answer; every request re-reads the fixed context (--context tokens: system prompt, CLAUDE.md,
the conversation so far) and, for the Quillbox routes, the server's tool list, both from the
prompt cache at 0.1x the input price; it re-reads every earlier call and answer of the edit, from
the cache (0.1x) except those new since the previous request (1x); and it writes its call (output
price). The agent's own tools are listed in every route alike and are left out. The heading routes
name the section by its shortest unique heading path (the agent knows what it wants to change). The script also checks that no answer of any tool exceeds the
result budget (the server's own estimate) or the client's 25,000-token limit (the tokenizer's
count) on any document: the plain listing, the short-id listing, read_file of the whole
document, md_read_block of its largest section and every answer of the edit.

Corpus: the Markdown files that Debian packages installed under /usr/share/doc (also
gzipped ones) and the .md files of a few Python source distributions from PyPI, each over
5 KB with at least three headings, duplicates dropped.

Tokenizer: the `tokenizers` package with the tokenizer.json that the `anthropic` package
shipped in version 0.34.2 (read from the installed package, never downloaded at run time).
bench/token_economy.sh sets up a virtual environment with both and runs this script.
"""

import argparse
import gzip
import hashlib
import importlib.util
import json
import os
import re
import statistics
import subprocess
import sys
import tarfile
import tempfile

INPUT_PRICE = 3.0 / 1e6
OUTPUT_PRICE = 15.0 / 1e6
CLIENT_LIMIT = 25000
MIN_BYTES = 5 * 1024
MIN_HEADINGS = 3
HEADING = re.compile(r"^ {0,3}#{1,6}[ \t]", re.M)
# A listing line with the whole id, `  id="<uuid>" ## Title lines=3-9`, or the short form
# `d3b07 ## Title 3` of short_ids (the start line only).
BLOCK_LINE = re.compile(r'^(?:  id="([0-9a-f-]+)"|([0-9a-f][0-9a-f-]{4,})) (#+|FM) (.*?) (?:lines=)?(\d+)(?:-(\d+))?$')
WORD = re.compile(r"\b[A-Za-z]{4,}\b")
NEW_WORD = "revised"


# ---- Tokens ----------------------------------------------------------------------------------

def load_tokenizer():
    from tokenizers import Tokenizer
    spec = importlib.util.find_spec("anthropic")
    if spec is None or not spec.submodule_search_locations:
        sys.exit("the anthropic package (0.34.2, for its tokenizer.json) is not installed")
    path = os.path.join(spec.submodule_search_locations[0], "tokenizer.json")
    if not os.path.exists(path):
        sys.exit(f"{path} is missing: install anthropic==0.34.2 (later versions do not ship it)")
    return Tokenizer.from_file(path)


def estimate(text):
    """The server's own estimate (_count_tokens, model sonnet)."""
    cn = sum(1 for ch in text if 0x4E00 <= ord(ch) <= 0x9FFF or 0x3000 <= ord(ch) <= 0x303F
             or 0xFF00 <= ord(ch) <= 0xFFEF)
    return max(int(cn * 1.7 + (len(text) - cn) * 0.25), 1)


class Counter:
    def __init__(self, tokenizer):
        self.tok = tokenizer

    def __call__(self, text):
        return len(self.tok.encode(text, add_special_tokens=False).ids)

    def call(self, name, arguments):
        """Output tokens of one tool call: its name and its arguments as JSON."""
        return self(name) + self(json.dumps(arguments, ensure_ascii=False))


# ---- Corpus ----------------------------------------------------------------------------------

def qualifies(text, size):
    return size > MIN_BYTES and len(HEADING.findall(text)) >= MIN_HEADINGS


def debian_docs(top="/usr/share/doc"):
    for root, _dirs, files in os.walk(top):
        for name in sorted(files):
            if not re.search(r"\.(md|markdown)(\.gz)?$", name):
                continue
            path = os.path.join(root, name)
            if os.path.islink(path):
                continue
            try:
                data = gzip.open(path).read() if name.endswith(".gz") else open(path, "rb").read()
            except OSError:
                continue
            yield os.path.relpath(path, top), data


def sdist_docs(directory):
    for archive in sorted(os.listdir(directory)):
        if not archive.endswith(".tar.gz"):
            continue
        with tarfile.open(os.path.join(directory, archive)) as tar:
            for member in tar.getmembers():
                if member.isfile() and member.name.endswith(".md"):
                    yield member.name, tar.extractfile(member).read()


def collect(sdist_dir):
    seen, corpus = set(), []
    sources = [debian_docs()] + ([sdist_docs(sdist_dir)] if sdist_dir else [])
    for source in sources:
        for name, data in source:
            try:
                text = data.decode("utf-8")
            except UnicodeDecodeError:
                continue
            digest = hashlib.sha256(data).hexdigest()
            if digest in seen or not qualifies(text, len(data)):
                continue
            seen.add(digest)
            corpus.append((name, data))
    return corpus


# ---- The server ------------------------------------------------------------------------------

class Server:
    def __init__(self, binary, root):
        env = dict(os.environ)
        env.pop("MAX_MCP_OUTPUT_TOKENS", None)
        self.proc = subprocess.Popen([binary, "serve", "--root", root], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                     encoding="utf-8", env=env)
        self.next_id = 0
        self.request("initialize", {"protocolVersion": "2025-06-18", "capabilities": {},
                                    "clientInfo": {"name": "token-economy", "version": "1"}})
        self.send({"jsonrpc": "2.0", "method": "notifications/initialized"})

    def send(self, message):
        self.proc.stdin.write(json.dumps(message) + "\n")
        self.proc.stdin.flush()

    def request(self, method, params):
        self.next_id += 1
        self.send({"jsonrpc": "2.0", "id": self.next_id, "method": method, "params": params})
        answer = json.loads(self.proc.stdout.readline())
        if "error" in answer:
            raise RuntimeError(f"{method}: {answer['error']}")
        return answer["result"]

    def call(self, tool, arguments):
        result = self.request("tools/call", {"name": tool, "arguments": arguments})
        return result["content"][0]["text"], result.get("isError", False)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


# ---- One document ----------------------------------------------------------------------------

def numbered(lines, first=1):
    """The agent's Read and Edit show lines as `cat -n` does."""
    return "\n".join(f"{n:>6}\t{line}" for n, line in enumerate(lines, first))


def parse_listing(text):
    blocks = []
    for line in text.split("\n"):
        m = BLOCK_LINE.match(line)
        if m:
            blocks.append({"id": m[1] or m[2], "title": m[4], "start": int(m[5]), "end": int(m[6] or m[5]),
                           "level": 0 if m[3] == "FM" else len(m[3])})
    return blocks


def next_offset(text):
    m = re.search(r"offset=(\d+)", text.rsplit("\n", 1)[-1])
    return int(m[1]) if m else None


def full_listing(server, path):
    blocks, args = [], {"file_path": path}
    while True:
        text, _ = server.call("md_list_blocks", args)
        blocks += parse_listing(text)
        offset = next_offset(text)
        if offset is None or "md_list_blocks" not in text.rsplit("\n", 1)[-1]:
            return blocks
        args = {"file_path": path, "offset": offset}


def heading_paths(blocks):
    """Each block's shortest heading path that names it alone (None when none does)."""
    chains, open_ = [], []
    for i, b in enumerate(blocks):
        while open_ and blocks[open_[-1]]["level"] >= b["level"]:
            open_.pop()
        chains.append((chains[open_[-1]] if open_ else []) + [b["title"]])
        open_.append(i)
    out = []
    for chain in chains:
        found = None
        for k in range(1, len(chain) + 1):
            tail = chain[-k:]
            if sum(1 for c in chains if c[-k:] == tail) == 1:
                found = " > ".join(tail)
                break
        out.append(found if found and ">" not in "".join(chain) else None)
    return out


def choose_edit(text, blocks):
    """A line to edit in the section that holds the middle of the document: the deepest block
    around the middle line, else the nearest block that has a suitable line. The line must be
    unique in the file (the Edit tool needs that) and hold a word of four letters or more."""
    lines = text.split("\n")
    middle = len(lines) // 2
    around = [b for b in blocks if b["start"] <= middle <= b["end"]]
    order = sorted(blocks, key=lambda b: (0 if b in around else 1, -b["level"] if b in around else 0,
                                          abs((b["start"] + b["end"]) // 2 - middle)))
    for block in order:
        for n in range(block["start"] + 1, min(block["end"], len(lines)) + 1):
            line = lines[n - 1]
            word = WORD.search(line)
            if not word or line.strip().startswith("#") or text.count(line) != 1:
                continue
            if any(b["start"] <= n <= b["end"] and b["level"] > block["level"] for b in blocks):
                continue  # the line belongs to a subsection: edit it there
            new_line = line[:word.start()] + NEW_WORD + line[word.end():]
            return block, n, line, new_line
    return None


def measure(server, count, root, index, name, data, budget, fresh_session=None):
    rel = f"docs/{index:03d}-{re.sub(r'[^A-Za-z0-9.]+', '-', name)[-60:]}"
    if not rel.endswith(".md"):
        rel += ".md"
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    text = data.decode("utf-8").replace("\r\n", "\n").replace("\r", "\n")
    answers = []  # (tool, text) of every answer, for the budget check

    blocks = full_listing(server, path)
    choice = choose_edit(text, blocks)
    if choice is None:
        return None
    block, line_no, old_line, new_line = choice
    lines = text.split("\n")
    content_lines = lines[:-1] if text.endswith("\n") else lines
    expected = text.replace(old_line, new_line, 1)

    # A and B: the agent's own tools.
    read_in = count(numbered(content_lines))
    read_out = count.call("Read", {"file_path": path})
    write_out = count.call("Write", {"file_path": path, "content": expected})
    write_in = count(f"The file {path} has been updated successfully.")
    edit_out = count.call("Edit", {"file_path": path, "old_string": old_line, "new_string": new_line})
    lo, hi = max(1, line_no - 4), min(len(content_lines), line_no + 4)
    snippet = content_lines[:]
    snippet[line_no - 1] = new_line
    edit_in = count(f"The file {path} has been updated. Here's the result of running `cat -n` on a "
                    f"snippet of the edited file:\n" + numbered(snippet[lo - 1:hi], lo))
    a = {"in": read_in + write_in, "out": read_out + write_out}
    b = {"in": read_in + edit_in, "out": read_out + edit_out}
    a["steps"] = [(read_out, read_in), (write_out, write_in)]
    b["steps"] = [(read_out, read_in), (edit_out, edit_in)]

    # G: Grep the heading lines, Read the lines of the section that holds the line, Edit.
    grep_args = {"pattern": "^ {0,3}#{1,6} ", "path": path, "output_mode": "content", "-n": True}
    grep_in = count("\n".join(f"{n}:{l}" for n, l in enumerate(content_lines, 1) if HEADING.match(l)))
    grep_out = count.call("Grep", grep_args)
    sect_lo, sect_hi = block["start"], min(block["end"], len(content_lines))
    part_in = count(numbered(content_lines[sect_lo - 1:sect_hi], sect_lo))
    part_out = count.call("Read", {"file_path": path, "offset": sect_lo, "limit": sect_hi - sect_lo + 1})
    g = {"in": grep_in + part_in + edit_in, "out": grep_out + part_out + edit_out,
         "steps": [(grep_out, grep_in), (part_out, part_in), (edit_out, edit_in)]}

    # Q: for real.
    q = {"in": 0, "out": 0, "calls": {}, "steps": []}

    def call(tool, args, route=q):
        reply, is_error = server.call(tool, args)
        route["out"] += count.call(tool, args)
        route["in"] += count(reply)
        route["steps"].append((count.call(tool, args), count(reply)))
        per = route["calls"].setdefault(tool, [0, 0])
        per[0] += count(reply)
        per[1] += count.call(tool, args)
        answers.append((tool, reply))
        if is_error:
            raise RuntimeError(f"{tool} on {rel}: {reply[:300]}")
        return reply

    args = {"file_path": path, "short_ids": True}
    short = None
    while short is None:
        listing = call("md_list_blocks", args)
        for listed in parse_listing(listing):
            if listed["start"] == block["start"] and listed["title"] == block["title"]:
                short = listed["id"]
        if short is None:
            offset = next_offset(listing)
            if offset is None:
                raise RuntimeError(f"{rel}: the block is not in the short-id listing")
            args = {"file_path": path, "short_ids": True, "offset": offset}
    args = {"file_path": path, "block_id": short}
    while True:
        page = call("md_read_block", args)
        if old_line in page.split("\n") or next_offset(page) is None:
            break
        args = {"file_path": path, "block_id": short, "offset": next_offset(page)}
    call("md_patch_block", {"file_path": path, "block_id": short, "old_text": old_line, "new_text": new_line})

    def check_written():
        with open(path, encoding="utf-8", newline="") as f:
            got = f.read().replace("\r\n", "\n").replace("\r", "\n")
        if got != expected and got != expected + "\n":
            at = next((i for i, (x, y) in enumerate(zip(got, expected)) if x != y), min(len(got), len(expected)))
            raise RuntimeError(f"{rel}: the patched file is not the expected text (first difference at "
                               f"character {at}: {got[at - 40:at + 40]!r} instead of {expected[at - 40:at + 40]!r})")
        return got == expected + "\n"

    final_lf_added = check_written()

    # H2 and H1: the section named by its heading, on the original file again.
    heading = heading_paths(blocks)[blocks.index(block)]
    h2 = {"in": 0, "out": 0, "calls": {}, "steps": []}
    h1 = {"in": 0, "out": 0, "calls": {}, "steps": []}
    if heading is None:  # no path names it alone: list for the id, as Q does
        h2, h1 = q, q
    else:
        for route in (h2, h1):
            with open(path, "wb") as f:
                f.write(data)
            # H1 is an agent that knows the text without having been shown the section: another
            # session, since this one holds what H2's write showed it (and would rightly refuse).
            if route is h1 and fresh_session is not None:
                saved, server = server, fresh_session
            if route is h2:
                args = {"file_path": path, "heading": heading}
                while True:
                    page = call("md_read_block", args, h2)
                    if old_line in page.split("\n") or next_offset(page) is None:
                        break
                    args = {"file_path": path, "heading": heading, "offset": next_offset(page)}
            call("md_patch_block", {"file_path": path, "heading": heading, "old_text": old_line,
                                    "new_text": new_line}, route)
            if route is h1 and fresh_session is not None:
                server = saved
            check_written()

    # The other answers that must stay under the budget.
    answers.append(("md_list_blocks", server.call("md_list_blocks", {"file_path": path})[0]))
    answers.append(("read_file", server.call("read_file", {"file_path": path})[0]))
    largest = max(blocks, key=lambda b: b["end"] - b["start"])
    fresh = {b["title"]: b["id"] for b in full_listing(server, path)}
    if largest["title"] in fresh:
        answers.append(("md_read_block",
                        server.call("md_read_block", {"file_path": path, "block_id": fresh[largest["title"]]})[0]))
    over = [(tool, estimate(t), count(t), budget) for tool, t in answers
            if estimate(t) > budget or count(t) > CLIENT_LIMIT]
    largest_answer = max(count(t) for _, t in answers)
    return {"name": name, "bytes": len(data), "lines": len(content_lines), "blocks": len(blocks),
            "A": a, "B": b, "G": g, "Q": q, "H2": h2, "H1": h1, "by_heading": heading is not None, "final_lf_added": final_lf_added, "answers": len(answers), "over_budget": over, "largest_answer": largest_answer}


# ---- Report ----------------------------------------------------------------------------------

def tokens(x):
    return x["in"] + x["out"]


def money(x):
    return x["in"] * INPUT_PRICE + x["out"] * OUTPUT_PRICE


CACHE_RATE = 0.1


def session_money(steps, context, tool_list):
    """What the edit costs an agent's session: `steps` are (call tokens, answer tokens) in order."""
    usd, history, new = 0.0, 0, 0
    for k in range(len(steps) + 1):
        usd += (CACHE_RATE * (context + tool_list + history) + new) * INPUT_PRICE
        history += new
        if k < len(steps):
            out, answer = steps[k]
            usd += out * OUTPUT_PRICE
            new = out + answer
    return usd


def pct(values, p):
    values = sorted(values)
    k = (len(values) - 1) * p / 100
    f = int(k)
    c = min(f + 1, len(values) - 1)
    return values[f] + (values[c] - values[f]) * (k - f)


QUILLBOX_ROUTES = ("Q", "H2", "H1")
OWN_ROUTES = ("A", "B", "G")


def session_report(results, tool_list, contexts):
    """The session model: money per route with each fixed context, and the targets."""
    print(f"session model: tool list {tool_list} tokens on every Quillbox request, prompt cache at "
          f"{CACHE_RATE}x; Quillbox by heading for {sum(r['by_heading'] for r in results)}/{len(results)} "
          f"documents (the others name the section by id after a listing)")
    largest = sorted(results, key=lambda r: r["bytes"])[-20:]
    for context in contexts:
        def cost(r, way):
            return session_money(r[way]["steps"], context, tool_list if way in QUILLBOX_ROUTES else 0)
        print(f"  fixed context {context} tokens: median session cost " +
              ", ".join(f"{w} ${statistics.median(cost(r, w) for r in results):.5f}"
                        for w in OWN_ROUTES + QUILLBOX_ROUTES))
        for w in QUILLBOX_ROUTES:
            line = []
            for base in ("B", "G"):
                saving = [100 * (1 - cost(r, w) / cost(r, base)) for r in results]
                cheaper = sum(cost(r, w) < cost(r, base) for r in results)
                big = sum(cost(r, w) < cost(r, base) for r in largest)
                big_saving = [100 * (1 - cost(r, w) / cost(r, base)) for r in largest]
                line.append(f"vs {base}: saving median {statistics.median(saving):.1f} % (p10 {pct(saving, 10):.1f} %), "
                            f"cheaper on {cheaper}/{len(results)} ({100 * cheaper / len(results):.1f} %), "
                            f"on {big}/{len(largest)} of the largest (median {statistics.median(big_saving):.1f} %, "
                            f"worst {min(big_saving):.1f} %)")
            print(f"    {w:>2} " + "\n       ".join(line))


def report(results):
    print(f"documents: {len(results)}  (median {statistics.median(r['bytes'] for r in results) / 1024:.1f} KB, "
          f"{statistics.median(r['blocks'] for r in results):.0f} blocks)")
    for way in OWN_ROUTES + QUILLBOX_ROUTES:
        print(f"  {way}: median {statistics.median(tokens(r[way]) for r in results):>8.0f} tokens "
              f"(in {statistics.median(r[way]['in'] for r in results):.0f}, "
              f"out {statistics.median(r[way]['out'] for r in results):.0f}), "
              f"median ${statistics.median(money(r[way]) for r in results):.5f}")
    for q, base in [(q, base) for q in QUILLBOX_ROUTES for base in OWN_ROUTES]:
        tok = [100 * (1 - tokens(r[q]) / tokens(r[base])) for r in results]
        usd = [100 * (1 - money(r[q]) / money(r[base])) for r in results]
        cheaper = sum(money(r[q]) < money(r[base]) for r in results)
        print(f"{q} vs {base} per call: token saving median {statistics.median(tok):.1f} % (p10 {pct(tok, 10):.1f} %, "
              f"p90 {pct(tok, 90):.1f} %); money saving median {statistics.median(usd):.1f} % "
              f"(p10 {pct(usd, 10):.1f} %, p90 {pct(usd, 90):.1f} %); {q} cheaper for {cheaper}/{len(results)} "
              f"({100 * cheaper / len(results):.1f} %)")
    for tool in ("md_list_blocks", "md_read_block", "md_patch_block"):
        got = [r["Q"]["calls"].get(tool, [0, 0]) for r in results]
        print(f"  Q {tool}: median answer {statistics.median(g[0] for g in got):.0f}, "
              f"call {statistics.median(g[1] for g in got):.0f} tokens")
    added = [r["name"] for r in results if r["final_lf_added"]]
    if added:
        print(f"files without a final line feed that gained one in the write: {len(added)}")
    over = [(r["name"], o) for r in results for o in r["over_budget"]]
    budget = [x for x in over if x[1][1] > x[1][3]]
    client = [x for x in over if x[1][2] > CLIENT_LIMIT]
    checked = sum(r["answers"] for r in results)
    print(f"answers checked: {checked}; over the result budget (server estimate): {len(budget)}; "
          f"over {CLIENT_LIMIT} tokens by the tokenizer: {len(client)}; largest answer "
          f"{max(r['largest_answer'] for r in results)} tokens")
    for name, (tool, est, real, _) in over[:10]:
        print(f"  {name}: {tool} estimate {est}, tokenizer {real} ({real / est:.2f}x)")
    return budget


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quillbox", default=os.path.join(os.path.dirname(__file__), "..", "build", "debug", "bin",
                                                       "quillbox"))
    ap.add_argument("--sdists", help="directory of Python source distributions (.tar.gz) to take .md files from")
    ap.add_argument("--budget", type=int, default=20000,
                    help="result_budget_tokens for the server (written to its config.toml)")
    ap.add_argument("--json", help="write the per-document figures to this file")
    ap.add_argument("--limit", type=int, default=0, help="only the first N documents")
    ap.add_argument("--contexts", default="0,20000",
                    help="fixed contexts (tokens) of the session model, comma-separated")
    opts = ap.parse_args()

    count = Counter(load_tokenizer())
    corpus = collect(opts.sdists)
    if opts.limit:
        corpus = corpus[:opts.limit]
    results, skipped = [], []
    with tempfile.TemporaryDirectory(prefix="qb-economy-") as root:
        root = os.path.realpath(root)
        if opts.budget != 20000:
            os.makedirs(os.path.join(root, ".quillbox"))
            with open(os.path.join(root, ".quillbox", "config.toml"), "w") as f:
                f.write(f"result_budget_tokens = {opts.budget}\n")
        server = Server(os.path.abspath(opts.quillbox), root)
        second = Server(os.path.abspath(opts.quillbox), root)
        # The tool list as a client receives it, counted as the tools array in JSON.
        tool_list = count(json.dumps(server.request("tools/list", {})["tools"]))
        try:
            for i, (name, data) in enumerate(corpus):
                r = measure(server, count, root, i, name, data, opts.budget, second)
                (results if r else skipped).append(r or name)
        finally:
            server.close()
            second.close()
    if skipped:
        print(f"skipped (no editable line): {len(skipped)}")
    over = report(results)
    session_report(results, tool_list, [int(c) for c in opts.contexts.split(",")])
    if opts.json:
        with open(opts.json, "w") as f:
            json.dump(results, f, indent=1)
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
