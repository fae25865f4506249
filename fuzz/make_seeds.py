#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora (fuzz/corpus/<target>/) from the test suite's inputs:
the Markdown documents, edit instructions, JSON-RPC lines and config files the tests use, and a
model directory shaped like the tests' tiny model. Run it again after the tests change."""
import hashlib, json, pathlib, re, struct

here = pathlib.Path(__file__).resolve().parent
tests = here.parent / "tests"

def literals(path):
    """The C++ string literals of a source file (raw and ordinary), escapes resolved."""
    text = path.read_text(encoding="utf-8")
    out = [m.group(1) for m in re.finditer(r'R"\((.*?)\)"', text, re.S)]
    for m in re.finditer(r'(?<![R\w])"((?:[^"\\\n]|\\.)*)"', text):
        try:
            out.append(m.group(1).encode("latin-1", "backslashreplace").decode("unicode_escape").encode("latin-1").decode("utf-8"))
        except (UnicodeError, ValueError):
            pass
    return out

def write(target, items):
    d = here / "corpus" / target
    d.mkdir(parents=True, exist_ok=True)
    for item in items:
        data = item if isinstance(item, bytes) else item.encode("utf-8")
        (d / hashlib.sha1(data).hexdigest()).write_bytes(data)

md = set()
for f in (tests / "outline").glob("*.cpp"):
    md.update(s for s in literals(f) if "#" in s and "\n" in s)
for f in (tests / "blockops").glob("*.cpp"):
    md.update(s for s in literals(f) if s.startswith("#") and "\n" in s)
write("outline", sorted(md))

instructions = set()
for s in literals(tests / "blockops" / "structure_edit_test.cpp"):
    if len(s) < 200 and "\n" not in s and re.search(r"change|replace|update|set |->|→|⇒|改|替换|设置|变为", s):
        instructions.add(s)
sections = sorted(s for s in md if len(s) < 400)[:8] or ["# Title\nversion 1.0\n"]
write("edit", [i + "\n" + sections[n % len(sections)] for n, i in enumerate(sorted(instructions))])

lines = set()
for f in [tests / "host" / "mcp_test.cpp", tests / "host" / "mcp_eras_test.cpp", tests / "host" / "robustness_test.cpp",
          tests / "e2e" / "e2e_session.cpp"]:
    lines.update(s for s in literals(f) if s.lstrip().startswith(("{", "[")) and "\n" not in s)
for f in (tests / "host" / "mcp_sessions").glob("*.jsonl"):
    lines.update(l for l in f.read_text(encoding="utf-8").splitlines() if l.strip())
calls = [
    {"name": "md_list_blocks", "arguments": {"file_path": "guide.md"}},
    {"name": "md_find_blocks", "arguments": {"file_path": "guide.md", "query": "install"}},
    {"name": "read_file", "arguments": {"file_path": "notes.txt"}},
    {"name": "md_edit", "arguments": {"file_path": "guide.md", "instruction": "change Run to Start"}},
    {"name": "md_generate_toc", "arguments": {"file_path": "guide.md", "max_depth": 2}},
    {"name": "md_adjust_level", "arguments": {"block_id": "x", "delta": 1, "recursively": False}},
    {"name": "md_move_block", "arguments": {"block_id": "x", "position": "before"}},
]
modern = {"io.modelcontextprotocol/protocolVersion": "2026-07-28", "io.modelcontextprotocol/clientCapabilities": {},
          "io.modelcontextprotocol/clientInfo": {"name": "t", "version": "1"}}
for n, c in enumerate(calls):
    lines.add(json.dumps({"jsonrpc": "2.0", "id": n, "method": "tools/call", "params": c}))
    lines.add(json.dumps({"jsonrpc": "2.0", "id": n, "method": "tools/call", "params": dict(c, _meta=modern)}))
lines.add(json.dumps({"jsonrpc": "2.0", "id": 1, "method": "initialize",
                      "params": {"protocolVersion": "2025-11-25", "capabilities": {}, "clientInfo": {"name": "t", "version": "1"}}}))
write("mcp", sorted(lines))

configs = set()
for s in literals(tests / "host" / "config_test.cpp"):
    if "=" in s and "\n" in s:
        configs.add(s)
configs.add('pricing_model = "opus"\nlanguage = "zh"\n[pricing]\ncurrency = "¥"\n[pricing.opus]\ninput = 15.0\noutput = 75.0\n'
            '[semantic]\nbackend = "openai"\nendpoint = "http://127.0.0.1:11434"\ntimeout_seconds = 5\n')
write("config", sorted(configs))

vocab = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]", "the", "weather", "is", "hello", "world", "##s", "中", "文"]
config = {"architectures": ["BertModel"], "model_type": "bert", "hidden_act": "gelu", "hidden_size": 8,
          "intermediate_size": 16, "layer_norm_eps": 1e-12, "max_position_embeddings": 16,
          "num_attention_heads": 2, "num_hidden_layers": 1, "type_vocab_size": 2,
          "vocab_size": len(vocab), "pad_token_id": 0}
def safetensors(tensors):
    header, blob = {}, b""
    for name, (dtype, shape, raw) in tensors.items():
        header[name] = {"dtype": dtype, "shape": shape, "data_offsets": [len(blob), len(blob) + len(raw)]}
        blob += raw
    h = json.dumps(header).encode()
    return struct.pack("<Q", len(h)) + h + blob
weights = safetensors({
    "embeddings.word_embeddings.weight": ("F32", [len(vocab), 8], struct.pack("<%df" % (len(vocab) * 8), *[0.01 * i for i in range(len(vocab) * 8)])),
    "embeddings.LayerNorm.weight": ("F16", [8], struct.pack("<8e", *[1.0] * 8)),
    "pooler.dense.bias": ("BF16", [2], b"\x80\x3f\x00\x40"),
})
tokenizer_json = {"model": {"type": "WordPiece", "unk_token": "[UNK]", "continuing_subword_prefix": "##",
                            "vocab": {t: i for i, t in enumerate(vocab)}},
                  "normalizer": {"type": "BertNormalizer", "lowercase": True}}
# \x05: config.json beside the target's own one-layer weights (hidden 8, intermediate 16,
# 16 positions, 13 tokens).
tiny = dict(config, num_attention_heads=2, max_position_embeddings=16, vocab_size=13)
write("model", [b"\x05" + json.dumps(tiny).encode(), b"\x05" + json.dumps(dict(tiny, hidden_act="relu")).encode()])
write("model", [b"\x00" + weights, b"\x01" + json.dumps(config).encode(), b"\x02" + "\n".join(vocab).encode() + b"\n",
                b"\x03" + json.dumps(tokenizer_json).encode(),
                b"\x04" + json.dumps({"do_lower_case": True, "tokenize_chinese_chars": True, "strip_accents": None}).encode()])
