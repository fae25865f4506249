// Where models are found on disk, and fetching them from a Hugging Face hub endpoint.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>

#include "quillbox/detail/curl.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/semantic.h"

namespace quillbox {

namespace fs = std::filesystem;

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

fs::path home() {
    std::string h = env("HOME");
    return h.empty() ? fs::path("/tmp") : fs::path(h);
}

bool usable(const fs::path& dir) {
    std::error_code ec;
    return fs::is_regular_file(dir / "config.json", ec) && fs::is_regular_file(dir / "model.safetensors", ec) &&
           (fs::is_regular_file(dir / "vocab.txt", ec) || fs::is_regular_file(dir / "tokenizer.json", ec) ||
            fs::is_regular_file(dir / "sentencepiece.bpe.model", ec));
}

fs::path repo_cache_dir(std::string_view model_name) {
    std::string repo = model_repo(model_name);
    std::string folder = "models--";
    for (char c : repo) folder += c == '/' ? std::string("--") : std::string(1, c);
    return hf_hub_cache() / folder;
}

std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

}  // namespace

std::string model_repo(std::string_view model_name) {
    auto it = AVAILABLE_MODELS.find(std::string(model_name));
    if (it == AVAILABLE_MODELS.end())
        throw std::invalid_argument("unknown semantic model \"" + std::string(model_name) + "\"");
    return it->second.repo;
}

std::vector<ModelFile> model_files(std::string_view model_name) {
    model_repo(model_name);  // validates the name
    std::vector<ModelFile> files = {
        {"config.json", true},          {"modules.json", false},           {"sentence_bert_config.json", false},
        {"1_Pooling/config.json", false}, {"tokenizer_config.json", false}, {"special_tokens_map.json", false},
    };
    if (model_name == "multilingual-e5-small") files.push_back({"sentencepiece.bpe.model", true});
    else files.push_back({"vocab.txt", true});
    files.push_back({"model.safetensors", true});
    return files;
}

fs::path hf_hub_cache() {
    if (auto v = env("HF_HUB_CACHE"); !v.empty()) return v;
    if (auto v = env("HF_HOME"); !v.empty()) return fs::path(v) / "hub";
    if (auto v = env("XDG_CACHE_HOME"); !v.empty()) return fs::path(v) / "huggingface" / "hub";
    return home() / ".cache" / "huggingface" / "hub";
}

fs::path quillbox_model_dir() {
    if (auto v = env("QUILLBOX_MODEL_DIR"); !v.empty()) return v;
    if (auto v = env("XDG_DATA_HOME"); !v.empty()) return fs::path(v) / "quillbox" / "models";
    return home() / ".local" / "share" / "quillbox" / "models";
}

std::optional<fs::path> find_model_dir(std::string_view model_name) {
    const fs::path repo = repo_cache_dir(model_name);
    std::error_code ec;
    if (fs::is_regular_file(repo / "refs" / "main", ec)) {
        try {
            std::string rev = trim(detail::read_file_bytes(repo / "refs" / "main"));
            if (!rev.empty() && rev.find('/') == std::string::npos && usable(repo / "snapshots" / rev))
                return repo / "snapshots" / rev;
        } catch (const std::exception&) {
        }
    }
    if (fs::is_directory(repo / "snapshots", ec)) {
        std::optional<fs::path> best;
        fs::file_time_type best_time{};
        for (const auto& e : fs::directory_iterator(repo / "snapshots", ec)) {
            if (!usable(e.path())) continue;
            auto t = fs::last_write_time(e.path(), ec);
            if (!best || t > best_time) {
                best = e.path();
                best_time = t;
            }
        }
        if (best) return best;
    }
    fs::path own = quillbox_model_dir() / std::string(model_name);
    if (usable(own)) return own;
    return std::nullopt;
}

std::vector<ModelStatus> list_models() {
    std::vector<ModelStatus> out;
    for (const auto& [name, spec] : AVAILABLE_MODELS)
        out.push_back({name, spec.dim, spec.lang, spec.repo, find_model_dir(name)});
    return out;
}

ProgressCallback terminal_progress() {
    if (!::isatty(2)) return {};
    struct State {
        std::string file;
        int shown = -1;
    };
    auto st = std::make_shared<State>();
    return [st](const std::string& file, std::uint64_t done, std::uint64_t total) {
        if (file != st->file) {
            st->file = file;
            st->shown = -1;
        }
        int pct = total ? static_cast<int>(done * 100 / total) : 0;
        if (pct == st->shown && !(total == 0 && done > 0)) return;
        st->shown = pct;
        constexpr int width = 30;
        int fill = total ? pct * width / 100 : 0;
        std::fprintf(stderr, "\r%-28.28s [%s%s] %6.1f/%.1f MB", file.c_str(), std::string(fill, '#').c_str(),
                     std::string(width - fill, '.').c_str(), done / 1e6, total / 1e6);
        if (total && done >= total) std::fputc('\n', stderr);
        std::fflush(stderr);
    };
}

namespace {

struct Transfer {
    std::ofstream* out = nullptr;
    const ProgressCallback* progress = nullptr;
    std::string file;
    std::string commit;
    long status = 0;
};

size_t on_body(char* data, size_t size, size_t n, void* user) {
    auto* t = static_cast<Transfer*>(user);
    t->out->write(data, static_cast<std::streamsize>(size * n));
    return *t->out ? size * n : 0;
}

size_t on_header(char* data, size_t size, size_t n, void* user) {
    auto* t = static_cast<Transfer*>(user);
    std::string line(data, size * n);
    const std::string key = "x-repo-commit:";
    if (line.size() > key.size() && t->commit.empty()) {
        std::string head = line.substr(0, key.size());
        for (auto& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (head == key) {
            std::string v = trim(line.substr(key.size()));
            v.erase(0, v.find_first_not_of(' '));
            bool hex = !v.empty() && v.size() <= 64;
            for (char c : v) hex = hex && std::isxdigit(static_cast<unsigned char>(c));
            if (hex) t->commit = v;
        }
    }
    return size * n;
}

int on_progress(void* user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
    auto* t = static_cast<Transfer*>(user);
    if (t->progress && *t->progress)
        (*t->progress)(t->file, static_cast<std::uint64_t>(now), static_cast<std::uint64_t>(total));
    return 0;
}

// Downloads url to `dest`; returns the HTTP status. 404 leaves nothing behind.
long fetch(const std::string& url, const fs::path& dest, const std::string& label, const ProgressCallback& progress,
           std::string& commit) {
    fs::create_directories(dest.parent_path());
    fs::path part = dest;
    part += ".incomplete";
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    if (!out) throw ModelError("cannot write " + part.string());
    Transfer t{&out, &progress, label, "", 0};
    detail::CurlHandle c;
    CURL* h = c.h;
    if (!h) throw ModelError("cannot start a download");
    char err[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "quillbox");
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, err);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(h, CURLOPT_FAILONERROR, 0L);
    CURLcode rc = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    out.close();
    std::error_code ec;
    if (rc != CURLE_OK) {
        fs::remove(part, ec);
        throw ModelError("download of " + url + " failed: " + (err[0] ? err : curl_easy_strerror(rc)));
    }
    if (status != 200) {
        fs::remove(part, ec);
        return status;
    }
    fs::rename(part, dest);
    if (commit.empty()) commit = t.commit;
    return status;
}

}  // namespace

namespace {

fs::path pull_into_cache(std::string_view model_name, const ProgressCallback& progress);

}  // namespace

fs::path pull_model(std::string_view model_name, const ProgressCallback& progress) {
    const fs::path repo_dir = repo_cache_dir(model_name);
    std::error_code ec;
    const bool existed = fs::exists(repo_dir, ec);
    try {
        return pull_into_cache(model_name, progress);
    } catch (...) {
        // A failed first download leaves nothing in the cache (an empty or half-filled folder
        // there would look like a model to other tools); an earlier one is left as it was.
        if (!existed) fs::remove_all(repo_dir, ec);
        throw;
    }
}

namespace {

fs::path pull_into_cache(std::string_view model_name, const ProgressCallback& progress) {
    const std::string repo = model_repo(model_name);
    std::string endpoint = env("HF_ENDPOINT");
    if (endpoint.empty()) endpoint = "https://huggingface.co";
    while (!endpoint.empty() && endpoint.back() == '/') endpoint.pop_back();
    const fs::path repo_dir = repo_cache_dir(model_name);
    const auto files = model_files(model_name);

    // The first file tells which revision "main" is; the snapshot is named after it.
    std::string commit;
    const fs::path staged = repo_dir / ("config.json.download" + std::to_string(::getpid()));
    const std::string base = endpoint + "/" + repo + "/resolve/main/";
    long st = fetch(base + files[0].name, staged, files[0].name, progress, commit);
    if (st != 200)
        throw ModelError("download of " + base + files[0].name + " failed: HTTP status " + std::to_string(st));
    if (commit.empty()) commit = "main";
    const fs::path snap = repo_dir / "snapshots" / commit;
    fs::create_directories(snap);
    fs::rename(staged, snap / files[0].name);
    for (std::size_t i = 1; i < files.size(); ++i) {
        const auto& f = files[i];
        std::error_code ec;
        if (fs::is_regular_file(snap / f.name, ec) && fs::file_size(snap / f.name, ec) > 0) continue;
        std::string ignored;
        st = fetch(base + f.name, snap / f.name, f.name, progress, ignored);
        if (st == 200) continue;
        if (st == 404 && !f.required) continue;
        throw ModelError("download of " + base + f.name + " failed: HTTP status " + std::to_string(st));
    }
    fs::create_directories(repo_dir / "refs");
    std::ofstream(repo_dir / "refs" / "main", std::ios::trunc) << commit;
    return snap;
}

}  // namespace

fs::path ensure_model(std::string_view model_name, const ProgressCallback& progress) {
    if (auto dir = find_model_dir(model_name)) return *dir;
    const std::string offline = env("HF_HUB_OFFLINE");
    if (!offline.empty() && offline != "0")
        throw ModelError("model " + std::string(model_name) + " is not in " + hf_hub_cache().string() + " or " +
                         (quillbox_model_dir() / std::string(model_name)).string() + ", and HF_HUB_OFFLINE is set");
    try {
        return pull_model(model_name, progress);
    } catch (const ModelError& e) {
        throw ModelError(std::string(e.what()) + " (model " + std::string(model_name) + " is not in " +
                         hf_hub_cache().string() + " or " + (quillbox_model_dir() / std::string(model_name)).string() +
                         ")");
    }
}

}  // namespace quillbox
