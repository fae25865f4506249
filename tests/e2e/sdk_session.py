"""A session with `quillbox serve` through the official MCP Python SDK: list the tools, call each."""
import asyncio
import pathlib
import re
import shutil
import sys
import tempfile

from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client

CORE_TOOLS = {"md_list_blocks", "md_read_block", "md_replace_block", "md_find_blocks", "read_file"}
HINTS = ("readOnlyHint", "destructiveHint", "idempotentHint", "openWorldHint")


def text_of(result):
    assert result.content and result.content[0].type == "text", result
    return result.content[0].text


async def session(exe: str, root: pathlib.Path) -> None:
    doc = root / "doc.md"
    doc.write_text("# Title\nText.\n\n## Part\nOld line.\n", encoding="utf-8")
    params = StdioServerParameters(command=exe, args=["serve", "--root", str(root)])
    async with stdio_client(params) as (read, write):
        async with ClientSession(read, write) as s:
            init = await s.initialize()
            assert init.serverInfo.name == "quillbox", init

            tools = (await s.list_tools()).tools
            assert CORE_TOOLS <= {t.name for t in tools}, [t.name for t in tools]
            for t in tools:
                assert t.description and t.inputSchema["type"] == "object", t
                for hint in HINTS:
                    assert getattr(t.annotations, hint) is not None, (t.name, hint)

            listing = await s.call_tool("md_list_blocks", {"file_path": "doc.md"})
            assert not listing.isError, listing
            ids = {title: uuid for uuid, _, title in
                   re.findall(r'id="([0-9a-f-]{36})" (#+) (.*) lines=', text_of(listing))}
            assert set(ids) == {"Title", "Part"}, ids

            found = await s.call_tool("md_find_blocks", {"file_path": "doc.md", "query": "part"})
            assert ids["Part"] in text_of(found), text_of(found)

            block = await s.call_tool("md_read_block", {"file_path": "doc.md", "block_id": ids["Part"]})
            assert "---\n## Part\nOld line.\n---" in text_of(block), text_of(block)

            replaced = await s.call_tool("md_replace_block", {"file_path": "doc.md", "block_id": ids["Part"],
                                                              "new_content": "## Part\nNew line.\n"})
            assert text_of(replaced).startswith("✅ Block 'Part' updated."), text_of(replaced)
            assert "[QUILLBOX_META]" in text_of(replaced)
            assert doc.read_text(encoding="utf-8") == "# Title\nText.\n\n## Part\nNew line.\n"

            first = await s.call_tool("read_file", {"file_path": "doc.md"})
            assert "New line." in text_of(first), text_of(first)
            second = await s.call_tool("read_file", {"file_path": "doc.md"})
            assert text_of(second).startswith("[cached, sha="), text_of(second)

            bad = await s.call_tool("md_read_block", {"file_path": "doc.md", "block_id": 7})
            assert bad.isError and "block_id" in text_of(bad), bad

            # Still serving after the error.
            await s.send_ping()


def main() -> int:
    exe = sys.argv[1]
    root = pathlib.Path(tempfile.mkdtemp(prefix="quillbox-sdk-")).resolve()
    try:
        asyncio.run(asyncio.wait_for(session(exe, root), timeout=120))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print("MCP SDK session passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
