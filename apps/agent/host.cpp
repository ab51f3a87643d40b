#include "host.hpp"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "config.hpp"
#include "handler.hpp"
#include "logging.hpp"
#include "tolvex/core/log.hpp"
#include "tolvex/core/text.hpp"
#include "tolvex/framing/frame.hpp"
#include "tolvex/pkcs11/certsource.hpp"

namespace tolvex::agent {

bool origin_allowed(const std::optional<std::string>& allowed, bool allowed_unicode,
                    const platform::CallerOrigin& origin) {
    if (!allowed)
        return true;
    if (!allowed_unicode || !origin.unicode)
        return false;
    std::string_view rest = *allowed;
    for (;;) {
        auto comma = rest.find(',');
        auto piece = core::trim_white_space(rest.substr(0, comma));
        if (!piece.empty() && piece == origin.text)
            return true;
        if (comma == std::string_view::npos)
            return false;
        rest.remove_prefix(comma + 1);
    }
}

platform::CallerOrigin caller_identity(int argc, char** argv) {
    auto first = platform::command_argument(argc, argv, 1);
    if (first && first->text.starts_with("chrome-extension://"))
        return *first;
    if (auto second = platform::command_argument(argc, argv, 2))
        return *second;
    return first.value_or(platform::CallerOrigin{});
}

namespace {

HandlerContext build_context(const AgentConfig& config, os_store::OsStore os_store) {
    HandlerContext context;
    if (os_store.source)
        context.sources.push_back(std::move(os_store.source));
    context.sources.push_back(std::make_unique<pkcs11::Pkcs11Source>(module_paths(config)));
    context.os_store = std::move(os_store.name);
    return context;
}

// While a request runs, a thread watches the browser's end of the channel.
// A module call may never return (a driver waiting on a device); if the
// browser goes meanwhile, nobody is left to answer and the agent must not
// stay behind: it logs and ends at once. Between requests the main loop
// sees the end itself, as the end of its input.
class Watchdog {
  public:
    explicit Watchdog(int channel) : watch_(channel), thread_([this] { run(); }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        watch_.wake();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void request_started() { set_active(true); }
    void request_finished() { set_active(false); }

  private:
    void set_active(bool active) {
        {
            std::lock_guard lock(mutex_);
            active_ = active;
        }
        wake_.notify_one();
    }

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stop_ || active_; });
            if (stop_)
                return;
            lock.unlock();
            const bool gone = watch_.wait_gone(std::chrono::milliseconds(500));
            lock.lock();
            if (gone && active_ && !stop_) {
                log::target("tolvex_agent")
                    ->error("o navegador fechou o canal durante um pedido; o agente termina");
                platform::exit_now(1);
            }
        }
    }

    platform::ChannelWatch watch_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool active_ = false;
    bool stop_ = false;
    std::thread thread_;
};

int serve(const HandlerContext& context, int channel) {
    auto logger = log::target("tolvex_agent");
    framing::FdStream input(0);
    framing::FdStream output(channel);
    framing::BufferedReader reader(input);
    framing::BufferedWriter writer(output);
    Watchdog watchdog(channel);
    for (;;) {
        auto message = framing::read_frame(reader);
        if (!message) {
            if (message.error().fault == framing::FrameFault::Ended)
                return 0;
            logger->error("falha ao ler mensagem: {}", message.error().text);
            return 1;
        }
        watchdog.request_started();
        std::string response = handle_message(context, *message);
        watchdog.request_finished();
        // The body may hold a PIN; neither it nor the reader's copy of a
        // small frame may linger in memory.
        core::secure_wipe(*message);
        reader.wipe_consumed();
        if (auto written = framing::write_frame(writer, response); !written) {
            logger->error("falha ao escrever resposta: {}", written.error().text);
            return 1;
        }
    }
}

}  // namespace

int run_agent(int argc, char** argv, int channel, os_store::OsStore os_store) {
    AgentConfig config = load_config(config_path());
    init_logging(config.log_file);
    auto logger = log::target("tolvex_agent");

    auto origin = caller_identity(argc, argv);
    auto allowed = platform::read_env("TOLVEX_ALLOWED_ORIGINS");
    bool allowed_unicode = !allowed || allowed->utf8.has_value();
    std::optional<std::string> allowed_text;
    if (allowed)
        allowed_text = allowed->utf8.value_or(std::string());
    if (!origin_allowed(allowed_text, allowed_unicode, origin)) {
        logger->error("origem não permitida: {}", log::quoted(origin.text));
        return 2;
    }

    const HandlerContext context = build_context(config, std::move(os_store));
    logger->info("agente iniciado; repositório do SO: {}", context.os_store);
    return serve(context, channel);
}

int agent_main(int argc, char** argv, os_store::OsStore os_store) {
    // Before anything else can write to standard output.
    auto channel = platform::claim_frame_channel();
    if (!channel)
        return 1;
    platform::restrict_library_search();
    return run_agent(argc, argv, *channel, std::move(os_store));
}

}  // namespace tolvex::agent
