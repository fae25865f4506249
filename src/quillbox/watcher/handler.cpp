// The debounced Markdown event handler and its one-shot timers.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <utility>

#include "quillbox/watcher.h"

namespace quillbox {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// What a firing needs. Timer threads hold it by shared_ptr, so they never touch the handler
// itself and stay safe when it is destroyed while they sleep or run.
struct FireContext {
    MdFileHandler::Callback callback;
    std::shared_ptr<FileWrites> tracker;

    std::mutex mu;
    std::condition_variable idle;
    int active = 0;       // firings running the fire step now
    bool closed = false;  // the handler is gone: timers that wake up do nothing
};

thread_local const FireContext* t_firing = nullptr;

void fire(const std::shared_ptr<FireContext>& ctx, const fs::path& path) {
    {
        std::lock_guard<std::mutex> lk(ctx->mu);
        if (ctx->closed) return;
        ++ctx->active;
    }
    t_firing = ctx.get();
    if (ctx->tracker) ctx->tracker->mark_write_done(path);
    try {
        if (ctx->callback) ctx->callback(path);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillbox watcher: change callback failed for %s: %s\n",
                     path.c_str(), e.what());
    } catch (...) {
        std::fprintf(stderr, "quillbox watcher: change callback failed for %s: unknown error\n",
                     path.c_str());
    }
    t_firing = nullptr;
    std::lock_guard<std::mutex> lk(ctx->mu);
    if (--ctx->active == 0) ctx->idle.notify_all();
}

// A one-shot timer on its own detached thread; cancellable until its action begins.
class OneShotTimer {
public:
    static std::shared_ptr<OneShotTimer> start(Clock::duration delay, std::function<void()> action) {
        auto t = std::make_shared<OneShotTimer>();
        t->deadline_ = Clock::now() + delay;
        t->action_ = std::move(action);
        std::thread([t] { t->run(); }).detach();
        return t;
    }

    // Moves a pending timer's deadline and action; false once it fired or was cancelled, and
    // then the caller starts a new timer. Same effect as cancel-and-restart, one thread less.
    bool restart(Clock::duration delay, std::function<void()> action) {
        std::lock_guard<std::mutex> lk(mu_);
        if (started_ || cancelled_) return false;
        deadline_ = Clock::now() + delay;
        action_ = std::move(action);
        cv_.notify_all();
        return true;
    }

    void cancel() {
        std::function<void()> drop;
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (started_) return;  // too late; not waited for
            cancelled_ = true;
            drop = std::move(action_);
            cv_.notify_all();
        }
    }

private:
    void run() {
        std::function<void()> action;
        {
            std::unique_lock<std::mutex> lk(mu_);
            while (!cancelled_ && Clock::now() < deadline_) cv_.wait_until(lk, deadline_);
            if (cancelled_) return;
            started_ = true;
            action = std::move(action_);
        }
        action();
    }

    std::mutex mu_;
    std::condition_variable cv_;
    Clock::time_point deadline_;
    std::function<void()> action_;
    bool started_ = false;
    bool cancelled_ = false;
};

}  // namespace

struct MdFileHandler::State {
    std::mutex lock;  // guards timers and serialises the debounce step
    std::unordered_map<std::string, std::shared_ptr<OneShotTimer>> timers;
    std::shared_ptr<FireContext> ctx;
};

MdFileHandler::MdFileHandler(Callback callback, double debounce_seconds,
                               std::shared_ptr<FileWrites> file_writes)
    : debounce_seconds_(debounce_seconds), state_(std::make_shared<State>()) {
    if (!std::isfinite(debounce_seconds) || debounce_seconds < 0.0 || debounce_seconds > 86400.0)
        throw std::invalid_argument("debounce window must be between 0 and 86400 seconds, got " +
                                    std::to_string(debounce_seconds));
    state_->ctx = std::make_shared<FireContext>();
    state_->ctx->callback = std::move(callback);
    state_->ctx->tracker = std::move(file_writes);
}

MdFileHandler::~MdFileHandler() {
    stop();
    auto& ctx = *state_->ctx;
    std::unique_lock<std::mutex> lk(ctx.mu);
    ctx.closed = true;
    if (t_firing == &ctx) return;  // destroyed from its own callback: cannot wait for itself
    ctx.idle.wait(lk, [&] { return ctx.active == 0; });
}

void MdFileHandler::on_created(const FileEvent& event) {
    if (!event.is_directory && event.src_path.native().ends_with(".md")) _debounce(event.src_path);
}

void MdFileHandler::on_modified(const FileEvent& event) {
    if (!event.is_directory && event.src_path.native().ends_with(".md")) _debounce(event.src_path);
}

void MdFileHandler::on_deleted(const FileEvent& event) {
    if (!event.is_directory && event.src_path.native().ends_with(".md")) _debounce(event.src_path);
}

void MdFileHandler::dispatch(const FileEvent& event) {
    switch (event.kind) {
        case FileEvent::Kind::created: on_created(event); break;
        case FileEvent::Kind::modified: on_modified(event); break;
        case FileEvent::Kind::deleted: on_deleted(event); break;
    }
}

void MdFileHandler::_debounce(const fs::path& path) {
    // What this process wrote itself is indexed already: its events make nobody wait.
    if (state_->ctx->tracker && state_->ctx->tracker->is_own_write(path)) return;
    std::string key = watcher_path_key(path);
    auto delay = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(debounce_seconds_));
    std::function<void()> action = [ctx = state_->ctx, path] { fire(ctx, path); };

    std::lock_guard<std::mutex> lk(state_->lock);
    if (state_->ctx->tracker) state_->ctx->tracker->mark_write_start(path);
    auto& slot = state_->timers[key];
    if (slot && slot->restart(delay, action)) return;
    slot = OneShotTimer::start(delay, std::move(action));
}

void MdFileHandler::stop() {
    std::lock_guard<std::mutex> lk(state_->lock);
    for (auto& [key, timer] : state_->timers) timer->cancel();
    state_->timers.clear();
}

}  // namespace quillbox
