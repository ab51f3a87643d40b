// Framing over a byte stream: the input is what arrives on the agent's
// standard input. The frame reader must agree with a plain model of the
// format, and every frame it reads must come back whole through the writer.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "tolvex/framing/frame.hpp"

namespace {

using namespace tolvex::framing;

// The frames of the stream, and whether it ends cleanly after them.
struct Model {
    std::vector<std::string_view> bodies;
    bool clean_end = true;
};

Model model(std::string_view stream) {
    Model m;
    while (!stream.empty()) {
        if (stream.size() < 4) {
            m.clean_end = false;
            break;
        }
        // The prefix's byte order is pinned by the unit tests.
        const std::uint32_t n =
            decode_length(std::span<const char, LENGTH_BYTES>(stream.data(), 4));
        stream.remove_prefix(4);
        if (n > MAX_FRAME_BYTES || n > stream.size()) {
            m.clean_end = false;
            break;
        }
        m.bodies.push_back(stream.substr(0, n));
        stream.remove_prefix(n);
    }
    return m;
}

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() {
        FUZZ_CHECK(pipe(fds) == 0);
        // Room for the whole input, so writing it never waits for a reader.
        (void)fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    }
    ~Pipe() {
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }
    std::size_t capacity() const { return static_cast<std::size_t>(fcntl(fds[1], F_GETPIPE_SZ)); }
    void end_writing() {
        close(fds[1]);
        fds[1] = -1;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Pipe in;
    std::string_view stream(reinterpret_cast<const char*>(data), size);
    stream = stream.substr(0, in.capacity());
    for (std::string_view rest = stream; !rest.empty();) {
        auto n = write(in.fds[1], rest.data(), rest.size());
        FUZZ_CHECK(n > 0);
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    in.end_writing();

    const Model expected = model(stream);
    FdStream input(in.fds[0]);
    BufferedReader reader(input);
    std::vector<std::string> bodies;
    bool clean_end = false;
    for (;;) {
        auto message = read_frame(reader);
        if (!message) {
            clean_end = message.error().fault == FrameFault::Ended;
            break;
        }
        bodies.push_back(std::move(*message));
    }
    FUZZ_CHECK(clean_end == expected.clean_end);
    FUZZ_CHECK(bodies.size() == expected.bodies.size());
    for (std::size_t i = 0; i < bodies.size(); ++i)
        FUZZ_CHECK(bodies[i] == expected.bodies[i]);

    // Written back, the frames make exactly the stream that was read.
    Pipe out;
    FdStream output(out.fds[1]);
    BufferedWriter writer(output);
    std::size_t written = 0;
    for (const auto& body : bodies) {
        FUZZ_CHECK(write_frame(writer, body).has_value());
        written += 4 + body.size();
    }
    out.end_writing();
    std::string echoed(written + 1, '\0');
    std::size_t got = 0;
    while (got < echoed.size()) {
        auto n = read(out.fds[0], echoed.data() + got, echoed.size() - got);
        FUZZ_CHECK(n >= 0);
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    FUZZ_CHECK(got == written);
    FUZZ_CHECK(std::string_view(echoed.data(), got) == stream.substr(0, written));
    return 0;
}
