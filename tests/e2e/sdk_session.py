"""A session with `quillbox serve` through the official MCP Python SDK, in either protocol era.

    sdk_session.py modern|legacy QUILLBOX_EXE

`modern` runs with the SDK 2.x, which negotiates by itself (a `server/discover` probe, then the
2026-07-28 revision with `_meta` in every request); `legacy` with the SDK 1.x and the
`initialize` handshake. Each step is a function of the connected `Session` and the project root;
it calls tools through `Session.call`, which answers the same under both SDK generations.
Exit code 77 (skip) when the SDK is not installed.
"""
import asyncio
import contextlib
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
from importlib.metadata import PackageNotFoundError, version

try:
    SDK_VERSION = version("mcp")
except PackageNotFoundError:
    print("the MCP Python SDK is not installed; skipping")
    sys.exit(77)
from mcp import StdioServerParameters  # noqa: E402  (an SDK that is installed but broken fails)

SDK_MAJOR = int(SDK_VERSION.split(".")[0])
MODERN_VERSION = "2026-07-28"
LEGACY_VERSION = "2025-11-25"
CORE_TOOLS = {"md_list_blocks", "md_read_block", "md_replace_block", "md_find_blocks", "read_file"}
HINTS = ("readOnlyHint", "destructiveHint", "idempotentHint", "openWorldHint")
LISTED = re.compile(r'id="([0-9a-f-]{36})" (#+) (.*) lines=')


def text_of(result) -> str:
    """The text of a tools/call result (either SDK)."""
    assert result.content and result.content[0].type == "text", result
    return result.content[0].text


def failed(result) -> bool:
    """isError of a tools/call result (the SDK 2.x names it is_error)."""
    return bool(result.is_error if SDK_MAJOR >= 2 else result.isError)


class Session:
    """What the steps need of a connected client, the same under the SDK 1.x and 2.x. Anything
    else (call_tool, list_tools, ...) is the SDK client's own."""

    def __init__(self, client, protocol_version: str, server_name: str):
        self.client = client
        self.protocol_version = protocol_version
        self.server_name = server_name

    def __getattr__(self, name: str):
        return getattr(self.client, name)

    async def call(self, tool: str, arguments: dict) -> tuple[str, bool]:
        """(text, isError) of one tools/call."""
        result = await self.client.call_tool(tool, arguments)
        return text_of(result), failed(result)

    async def ok(self, tool: str, arguments: dict) -> str:
        text, is_error = await self.call(tool, arguments)
        assert not is_error, (tool, arguments, text)
        return text

    async def tools(self) -> list[dict]:
        """The tools/list entries as the server sent them (camelCase keys)."""
        listed = (await self.client.list_tools()).tools
        return [t.model_dump(by_alias=True, exclude_none=True) for t in listed]

    async def blocks(self, file_path: str) -> dict[str, str]:
        """Title -> block id of a listing."""
        return {title: uuid for uuid, _, title in LISTED.findall(await self.ok("md_list_blocks", {"file_path": file_path}))}


@contextlib.asynccontextmanager
async def connect(exe: str, root: pathlib.Path, mode: str = "auto", env: dict | None = None):
    """A connected Session; `mode` (SDK 2.x only): "auto" negotiates, a version pins it; `env`:
    variables the server gets on top of the SDK's default environment."""
    from mcp.client.stdio import stdio_client
    params = StdioServerParameters(command=exe, args=["serve", "--root", str(root)], env=env)
    if SDK_MAJOR >= 2:
        from mcp.client import Client
        # The transport itself, which every 2.x accepts (later ones also take the parameters).
        async with Client(stdio_client(params), mode=mode) as client:
            info = client.server_info
            yield Session(client, client.protocol_version, info.name if info else "")
    else:
        from mcp import ClientSession
        async with stdio_client(params) as (read, write):
            async with ClientSession(read, write) as client:
                init = await client.initialize()
                yield Session(client, init.protocolVersion, init.serverInfo.name)


async def step_list_read_replace(s: Session, root: pathlib.Path) -> None:
    doc = root / "doc.md"
    doc.write_text("# Title\nText.\n\n## Part\nOld line.\n", encoding="utf-8")
    tools = await s.tools()
    assert CORE_TOOLS <= {t["name"] for t in tools}, [t["name"] for t in tools]
    for t in tools:
        assert t["description"] and t["inputSchema"]["type"] == "object", t
        for hint in HINTS:
            assert t["annotations"].get(hint) is not None, (t["name"], hint)

    ids = await s.blocks("doc.md")
    assert set(ids) == {"Title", "Part"}, ids
    assert ids["Part"] in await s.ok("md_find_blocks", {"file_path": "doc.md", "query": "part"})
    block = await s.ok("md_read_block", {"file_path": "doc.md", "block_id": ids["Part"]})
    assert "---\n## Part\nOld line.\n---" in block, block

    replaced = await s.ok("md_replace_block", {"file_path": "doc.md", "block_id": ids["Part"],
                                               "new_content": "## Part\nNew line.\n"})
    assert replaced.startswith("✅ Block 'Part' updated.") and "[QUILLBOX_META]" in replaced, replaced
    assert doc.read_text(encoding="utf-8") == "# Title\nText.\n\n## Part\nNew line.\n"

    assert "New line." in await s.ok("read_file", {"file_path": "doc.md"})
    cached = await s.ok("read_file", {"file_path": "doc.md"})
    assert cached.startswith("[cached, sha="), cached

    text, is_error = await s.call("md_read_block", {"file_path": "doc.md", "block_id": 7})
    assert is_error and "block_id" in text, text


async def step_move_among_siblings(s: Session, root: pathlib.Path) -> None:
    """The most common move: a section before or after a sibling of the same level."""
    doc = root / "moves.md"
    doc.write_text("# Book\n\n## A\na\n\n## B\nb\n\n## C\nc\n", encoding="utf-8")
    ids = await s.blocks("moves.md")
    moved = await s.ok("md_move_block", {"block_id": ids["C"], "target_block_id": ids["A"], "position": "before"})
    assert moved.startswith("Section 'C' moved before 'A'."), moved
    headings = lambda: re.findall(r"^#+ .*$", doc.read_text(encoding="utf-8"), re.M)  # noqa: E731
    assert headings() == ["# Book", "## C", "## A", "## B"], headings()

    ids = await s.blocks("moves.md")  # a move gives the file new ids
    await s.ok("md_move_block", {"block_id": ids["C"], "target_block_id": ids["B"], "position": "after"})
    assert headings() == ["# Book", "## A", "## B", "## C"], headings()
    text = doc.read_text(encoding="utf-8")
    for body in ("## A\na\n", "## B\nb\n", "## C\nc\n"):
        assert body in text, text

    # The other level checks stay: a section cannot go inside itself.
    ids = await s.blocks("moves.md")
    text, is_error = await s.call("md_move_block", {"block_id": ids["Book"], "target_block_id": ids["A"],
                                                  "position": "as_first_child"})
    assert is_error, text


# The steps of one session, in order. Each takes the connected Session and the project root.
STEPS = [
    step_list_read_replace,
    step_move_among_siblings,
]


def quillbox(exe: str, cwd: pathlib.Path, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run([exe, *args], cwd=cwd, capture_output=True, text=True, timeout=60)


def check_doctor(exe: str, base: pathlib.Path) -> None:
    """`quillbox doctor` on a freshly installed project (healthy), then with its registration
    removed and with its index damaged (broken)."""
    project = base / "doctor-project"
    project.mkdir()
    (project / "guide.md").write_text("# Guide\nText.\n", encoding="utf-8")
    for args in (["install"], ["reindex"], ["config", "set", "semantic.backend", "none"]):
        done = quillbox(exe, project, *args)
        assert done.returncode == 0, (args, done.stdout, done.stderr)

    healthy = quillbox(exe, project, "doctor")
    assert healthy.returncode == 0, healthy.stdout + healthy.stderr
    assert not re.search(r"\d+ problems? found", healthy.stdout), healthy.stdout

    registration = project / ".mcp.json"
    kept = registration.read_text(encoding="utf-8")
    registration.write_text('{"mcpServers": {}}\n', encoding="utf-8")
    unregistered = quillbox(exe, project, "doctor")
    assert unregistered.returncode != 0, unregistered.stdout
    assert '✗ MCP registration  no "quillbox" server in .mcp.json' in unregistered.stdout, unregistered.stdout
    registration.write_text(kept, encoding="utf-8")
    assert quillbox(exe, project, "doctor").returncode == 0

    index = project / ".quillbox" / "index.db"
    with open(index, "r+b") as f:
        f.write(b"this is not a database file")
    damaged = quillbox(exe, project, "doctor")
    assert damaged.returncode != 0, damaged.stdout
    assert "✗ Index" in damaged.stdout, damaged.stdout


def write_tiny_model(model_dir: pathlib.Path, hidden: int = 384, vocab_extra: tuple = ()) -> None:
    """A tiny BERT sentence model with random weights in the published Hugging Face layout
    (safetensors, config, WordPiece vocabulary, sentence-transformers pooling): one layer, as
    wide as the model name it stands in for, so searches run in milliseconds."""
    import array
    import json
    import random
    import struct

    vocab = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]", "the", "weather", "is", "lovely", "today", ".", ",",
             "!", "#", "he", "drove", "to", "stadium", "sunny", "outside", "so", "hello", "world", *vocab_extra]
    heads, inter, max_pos, rng = 4, 8, 64, random.Random(7)
    shapes = {"embeddings.word_embeddings.weight": (len(vocab), hidden),
              "embeddings.position_embeddings.weight": (max_pos, hidden),
              "embeddings.token_type_embeddings.weight": (2, hidden),
              "embeddings.LayerNorm.weight": (hidden,), "embeddings.LayerNorm.bias": (hidden,)}
    layer = "encoder.layer.0."
    for name in ("query", "key", "value"):
        shapes[f"{layer}attention.self.{name}.weight"] = (hidden, hidden)
        shapes[f"{layer}attention.self.{name}.bias"] = (hidden,)
    shapes.update({f"{layer}attention.output.dense.weight": (hidden, hidden),
                   f"{layer}attention.output.dense.bias": (hidden,),
                   f"{layer}attention.output.LayerNorm.weight": (hidden,),
                   f"{layer}attention.output.LayerNorm.bias": (hidden,),
                   f"{layer}intermediate.dense.weight": (inter, hidden), f"{layer}intermediate.dense.bias": (inter,),
                   f"{layer}output.dense.weight": (hidden, inter), f"{layer}output.dense.bias": (hidden,),
                   f"{layer}output.LayerNorm.weight": (hidden,), f"{layer}output.LayerNorm.bias": (hidden,)})
    header, data = {}, bytearray()
    for name, shape in shapes.items():
        count = shape[0] * (shape[1] if len(shape) > 1 else 1)
        offset = 1.0 if name.endswith("LayerNorm.weight") else 0.0
        values = array.array("f", (offset + rng.gauss(0.0, 0.4) for _ in range(count)))
        header[name] = {"dtype": "F32", "shape": list(shape), "data_offsets": [len(data), len(data) + 4 * count]}
        data += values.tobytes()
    head = json.dumps(header).encode()
    head += b" " * (-len(head) % 8)
    model_dir.mkdir(parents=True)
    (model_dir / "model.safetensors").write_bytes(struct.pack("<Q", len(head)) + head + bytes(data))
    files = {
        "config.json": {"architectures": ["BertModel"], "model_type": "bert", "hidden_act": "gelu",
                        "hidden_size": hidden, "intermediate_size": inter, "layer_norm_eps": 1e-12,
                        "max_position_embeddings": max_pos, "num_attention_heads": heads, "num_hidden_layers": 1,
                        "type_vocab_size": 2, "vocab_size": len(vocab), "pad_token_id": 0},
        "tokenizer_config.json": {"do_lower_case": True, "tokenizer_class": "BertTokenizer"},
        "modules.json": [{"idx": 0, "name": "0", "path": "", "type": "sentence_transformers.models.Transformer"},
                         {"idx": 1, "name": "1", "path": "1_Pooling", "type": "sentence_transformers.models.Pooling"},
                         {"idx": 2, "name": "2", "path": "2_Normalize",
                          "type": "sentence_transformers.models.Normalize"}],
        "1_Pooling/config.json": {"word_embedding_dimension": hidden, "pooling_mode_mean_tokens": True},
        "sentence_bert_config.json": {"max_seq_length": 32, "do_lower_case": False},
    }
    for name, content in files.items():
        (model_dir / name).parent.mkdir(parents=True, exist_ok=True)
        (model_dir / name).write_text(json.dumps(content), encoding="utf-8")
    (model_dir / "vocab.txt").write_text("".join(t + "\n" for t in vocab), encoding="utf-8")


SEARCH_HIT = re.compile(r'^  \[(high|medium|low)\] (.*) \(score=(-?\d+)%\) file="([^"]*)" id="([0-9a-f-]{36})"$', re.M)


async def check_search_and_act(exe: str, base: pathlib.Path) -> None:
    """Semantic search with a tiny local model, then the next move an agent makes: read and
    replace the block a result names, by its file and id. The store follows the edit and a
    deleted file."""
    models = base / "models"
    write_tiny_model(models / "all-MiniLM-L6-v2")
    env = {"QUILLBOX_MODEL_DIR": str(models), "QUILLBOX_SEMANTIC_MODEL": "all-MiniLM-L6-v2",
           "HF_HOME": str(base / "hf"), "HF_HUB_OFFLINE": "1"}
    project = base / "search-project"
    (project / "docs").mkdir(parents=True)
    weather = project / "docs" / "weather.md"
    weather.write_text("# Weather\nthe weather is lovely today.\n\n## Stadium\nhe drove to the stadium.\n",
                       encoding="utf-8")
    (project / "hello.md").write_text("# Hello\nhello world\n", encoding="utf-8")

    async def search(query: str) -> list[tuple]:
        # The server embeds in the background; its note asks to search again until it is done.
        for _ in range(600):
            text = await s.ok("md_search_blocks", {"query": query})
            if "semantic search:" not in text:
                break
            await asyncio.sleep(0.1)
        hits = SEARCH_HIT.findall(text)
        assert hits and len(hits) == text.count("\n  ["), text
        return hits

    async with connect(exe, project, env=env) as s:
        listed = {**await s.blocks("docs/weather.md"), **await s.blocks("hello.md")}
        # The query is the very text encoded for the block (its title, a space, its first lines),
        # so the block comes first whatever the tiny model's weights.
        _, title, score, file_path, block_id = (await search("Stadium ## Stadium\nhe drove to the stadium."))[0]
        assert (title, score, file_path, block_id) == ("Stadium", "100", "docs/weather.md", listed["Stadium"])

        block = await s.ok("md_read_block", {"file_path": file_path, "block_id": block_id})
        assert "---\n## Stadium\nhe drove to the stadium.\n---" in block, block
        await s.ok("md_replace_block", {"file_path": file_path, "block_id": block_id,
                                        "new_content": "## Stadium\nsunny outside, so lovely!\n"})
        assert weather.read_text(encoding="utf-8").endswith("## Stadium\nsunny outside, so lovely!\n")

        # The edited block is found by its new text, under the same file and id.
        hit = (await search("Stadium ## Stadium\nsunny outside, so lovely!"))[0]
        assert hit[1:] == ("Stadium", "100", "docs/weather.md", listed["Stadium"]), hit
        # A deleted file is no longer among the results.
        (project / "hello.md").unlink()
        hits = await search("Hello # Hello\nhello world")
        assert all(h[3] != "hello.md" for h in hits), hits


async def session(exe: str, root: pathlib.Path, era: str) -> None:
    expected = MODERN_VERSION if era == "modern" else LEGACY_VERSION
    async with connect(exe, root) as s:
        assert s.protocol_version == expected, (era, s.protocol_version)
        assert s.server_name == "quillbox", s.server_name
        for step in STEPS:
            await step(s, root)
    if era == "modern":
        # Pinned to the revision: served from the first request, without a probe.
        async with connect(exe, root, mode=MODERN_VERSION) as s:
            assert "Title" in await s.blocks("doc.md")


def main() -> int:
    era = sys.argv[1]
    exe = str(pathlib.Path(shutil.which(sys.argv[2]) or sys.argv[2]).resolve())  # commands run elsewhere
    if era not in ("modern", "legacy"):
        print(__doc__)
        return 2
    wanted_major = 2 if era == "modern" else 1
    if SDK_MAJOR != wanted_major:
        print(f"the {era} session needs the MCP SDK {wanted_major}.x, this is {SDK_VERSION}")
        return 1
    base = pathlib.Path(tempfile.mkdtemp(prefix="quillbox-sdk-")).resolve()
    try:
        root = base / "project"
        root.mkdir()
        asyncio.run(asyncio.wait_for(session(exe, root, era), timeout=120))
        asyncio.run(asyncio.wait_for(check_search_and_act(exe, base), timeout=120))
        check_doctor(exe, base)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    print(f"MCP SDK {SDK_VERSION} session passed ({era})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
