// The model-file loaders: a safetensors header and its tensors, config.json, and the tokenizer
// files (vocab.txt, tokenizer.json, tokenizer_config.json). The first byte picks the file; a
// corrupt file is refused with an exception, never read out of bounds.

#include <cstdint>
#include <exception>
#include <string>

#include "fuzz_common.h"
#include "quillbox/semantic.h"
#include "quillbox/semantic/runtime.h"

using namespace quillbox;
using namespace quillbox::embed;

namespace {

constexpr std::string_view VOCAB = "[PAD]\n[UNK]\n[CLS]\n[SEP]\n[MASK]\nhello\nworld\n##s\n你\n好\n";

void encode_with(const std::filesystem::path& dir) {
    auto tokenizer = load_tokenizer(dir);
    for (const char* text : {"Hello worlds, 你好!", "", "\xe2\x80\x8b x"}) {
        auto ids = tokenizer->encode(text, 16);
        if (ids.size() > 16) qbfuzz::fail("encode gave more ids than asked");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view body = qbfuzz::as_text(data + 1, size - 1);
    const auto dir = qbfuzz::scratch() / "model";
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    try {
        switch (data[0] % 5) {
            case 0: {
                SafeTensors tensors(qbfuzz::put("model/model.safetensors", body));
                for (const auto& name : tensors.names()) (void)tensors.get(name);
                break;
            }
            case 1:
                (void)read_bert_config(qbfuzz::put("model/config.json", body));
                break;
            case 2:
                qbfuzz::put("model/vocab.txt", body);
                encode_with(dir);
                break;
            case 3:
                qbfuzz::put("model/tokenizer.json", body);
                encode_with(dir);
                break;
            default:
                qbfuzz::put("model/vocab.txt", VOCAB);
                qbfuzz::put("model/tokenizer_config.json", body);
                encode_with(dir);
                break;
        }
    } catch (const ModelError&) {
    } catch (const std::exception&) {
        // The server turns any other exception into an error answer as well.
    }
    return 0;
}
