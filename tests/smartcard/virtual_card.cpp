// A CAC smart card for the tests, with no hardware: libcacard emulates the
// card over an NSS database, and this program carries its APDUs to
// vsmartcard's vpcd, the reader driver inside pcscd, as a card in that reader.
//
//   tolvex_virtual_card NSS_DIR NICKNAME PORT STATE_FILE
//
// vpcd listens on 127.0.0.1:PORT; each message either way is a 2-byte
// big-endian length and a payload. A 1-byte payload from the reader is a
// command (0 power off, 1 power on, 2 reset, 4 send the ATR); a longer one is
// a C-APDU, answered with the R-APDU. While connected the card is in the
// reader; closing the connection takes it out.
//
// libcacard keeps no PIN retry counter: every wrong PIN is "69 85" and the
// card never blocks. This program keeps one in front of it, three tries, and
// answers as a real card does: "63 Cx" with x tries left, "69 83" once
// blocked, without asking libcacard again.
//
// Signals steer it: SIGUSR1 takes the card out, SIGUSR2 puts it back, SIGHUP
// unblocks the PIN (three tries again), SIGTERM ends it. After every change
// STATE_FILE is replaced by one line
//   inserted=0|1 verify=N tries=T
// where N counts the VERIFY commands that carried a PIN, whether or not the
// card passed them on. No APDU content is ever written anywhere.

#include <arpa/inet.h>
#include <libcacard.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kPinTries = 3;
constexpr unsigned char kInsVerify = 0x20;

void say(const std::string& text) {
    std::fprintf(stderr, "virtual card: %s\n", text.c_str());
}

// Debian's vpcd sends a length and its payload in two writes; with delayed
// acknowledgement each APDU then waits ~40 ms for the second. Quick ACK is
// not sticky, so it is set again after every read.
void quick_ack(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

bool read_exact(int fd, unsigned char* out, std::size_t size) {
    while (size > 0) {
        const ssize_t n = read(fd, out, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        out += n;
        size -= static_cast<std::size_t>(n);
        quick_ack(fd);
    }
    return true;
}

// One message: length and payload in a single write.
bool send_message(int fd, const unsigned char* data, std::size_t size) {
    std::vector<unsigned char> out{static_cast<unsigned char>(size >> 8),
                                   static_cast<unsigned char>(size)};
    out.insert(out.end(), data, data + size);
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = write(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// vpcd's listening socket comes up when pcscd loads the driver: keep trying
// for a few seconds.
int connect_reader(std::uint16_t port) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            quick_ack(fd);
            return fd;
        }
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

class Card {
  public:
    Card(VReader* reader, std::string state_file)
        : reader_(reader), state_file_(std::move(state_file)) {}

    void set_inserted(bool inserted) {
        inserted_ = inserted;
        if (!inserted)
            vreader_power_off(reader_);
        write_state();
    }
    void unblock() {
        tries_ = kPinTries;
        write_state();
    }

    // Answers one message from the reader; false when the connection broke.
    bool serve(int fd) {
        unsigned char header[2];
        if (!read_exact(fd, header, sizeof header))
            return false;
        std::vector<unsigned char> in(static_cast<std::size_t>(header[0] << 8 | header[1]));
        if (!read_exact(fd, in.data(), in.size()))
            return false;
        if (in.size() == 1)
            return command(fd, in[0]);
        const std::vector<unsigned char> out = transmit(in);
        return send_message(fd, out.data(), out.size());
    }

  private:
    bool command(int fd, unsigned char code) {
        switch (code) {
            case 0:
                vreader_power_off(reader_);
                return true;
            case 1:
                return power_on();
            case 2:
                vreader_power_off(reader_);
                return power_on();
            case 4: {
                if (atr_.empty() && !power_on())
                    return false;
                return send_message(fd, atr_.data(), atr_.size());
            }
            default:
                say("unknown reader command " + std::to_string(code));
                return true;
        }
    }

    bool power_on() {
        std::array<unsigned char, 64> atr{};
        int length = static_cast<int>(atr.size());
        if (vreader_power_on(reader_, atr.data(), &length) != VREADER_OK) {
            say("power on failed");
            return false;
        }
        atr_.assign(atr.begin(), atr.begin() + length);
        return true;
    }

    std::vector<unsigned char> xfr(std::vector<unsigned char> apdu) {
        std::vector<unsigned char> out(65538);
        int length = static_cast<int>(out.size());
        if (vreader_xfr_bytes(reader_, apdu.data(), static_cast<int>(apdu.size()), out.data(),
                              &length) != VREADER_OK)
            return {0x6F, 0x00};
        out.resize(static_cast<std::size_t>(length));
        return out;
    }

    static bool success(const std::vector<unsigned char>& r) {
        return r.size() >= 2 && r[r.size() - 2] == 0x90 && r[r.size() - 1] == 0x00;
    }
    std::vector<unsigned char> tries_left() const {
        return {0x63, static_cast<unsigned char>(0xC0 | tries_)};
    }

    // VERIFY goes through the counter; everything else straight to libcacard.
    std::vector<unsigned char> transmit(const std::vector<unsigned char>& apdu) {
        if (apdu.size() < 4 || apdu[1] != kInsVerify)
            return xfr(apdu);
        // A VERIFY without data (4 bytes, or 5 with Le) asks for the PIN's
        // state: "90 00" when verified, else the tries left.
        const bool carries_pin = apdu.size() > 5;
        if (carries_pin) {
            ++verifications_;
            write_state();
        }
        if (tries_ == 0)
            return {0x69, 0x83};
        std::vector<unsigned char> answer = xfr(apdu);
        if (!carries_pin)
            return success(answer) ? answer : tries_left();
        if (success(answer)) {
            tries_ = kPinTries;
        } else {
            --tries_;
            answer = tries_left();
        }
        write_state();
        return answer;
    }

    void write_state() const {
        const std::string temporary = state_file_ + ".new";
        {
            std::ofstream out(temporary, std::ios::trunc);
            out << "inserted=" << (inserted_ ? 1 : 0) << " verify=" << verifications_
                << " tries=" << tries_ << "\n";
        }
        std::rename(temporary.c_str(), state_file_.c_str());
    }

    VReader* reader_;
    std::string state_file_;
    std::vector<unsigned char> atr_;
    bool inserted_ = false;
    int tries_ = kPinTries;
    long verifications_ = 0;
};

// The emulator announces its card with an insertion event; its reader is the
// one named in the options.
VReader* emulated_reader() {
    for (;;) {
        VEvent* event = vevent_wait_next_vevent();
        if (event == nullptr)
            return nullptr;
        const bool inserted = event->type == VEVENT_CARD_INSERT;
        VReader* reader = inserted ? vreader_reference(event->reader) : nullptr;
        vevent_delete(event);
        if (reader != nullptr)
            return reader;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s NSS_DIR NICKNAME PORT STATE_FILE\n", argv[0]);
        return 2;
    }
    const std::string options =
        std::string("db=\"sql:") + argv[1] + "\" use_hw=no soft=(,vcard,CAC,," + argv[2] + ")";
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[3]));

    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGUSR1, SIGUSR2, SIGHUP, SIGTERM, SIGINT})
        sigaddset(&signals, s);
    // Blocked before libcacard starts its threads, so they inherit the mask
    // and every signal reaches the descriptor below.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);

    if (vcard_emul_init(vcard_emul_options(options.c_str())) != VCARD_EMUL_OK) {
        say("libcacard could not start on " + std::string(argv[1]));
        return 1;
    }
    VReader* reader = emulated_reader();
    if (reader == nullptr || signal_fd < 0) {
        say("no emulated card");
        return 1;
    }
    Card card(reader, argv[4]);
    int fd = connect_reader(port);
    if (fd < 0) {
        say("no reader on port " + std::to_string(port));
        return 1;
    }
    card.set_inserted(true);
    say("inserted");

    int status = 0;
    for (bool running = true; running;) {
        std::array<pollfd, 2> fds{pollfd{signal_fd, POLLIN, 0}, pollfd{fd, POLLIN, 0}};
        if (poll(fds.data(), fd >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            status = 1;
            break;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (read(signal_fd, &info, sizeof info) != sizeof info)
                continue;
            switch (info.ssi_signo) {
                case SIGUSR1:
                    if (fd >= 0) {
                        close(fd);
                        fd = -1;
                        card.set_inserted(false);
                        say("removed");
                    }
                    break;
                case SIGUSR2:
                    if (fd < 0) {
                        fd = connect_reader(port);
                        if (fd < 0) {
                            say("the reader is gone");
                            status = 1;
                            running = false;
                            break;
                        }
                        card.set_inserted(true);
                        say("inserted");
                    }
                    break;
                case SIGHUP:
                    card.unblock();
                    break;
                default:
                    running = false;
            }
        }
        // The reader going away (pcscd stopped) ends the card too, so no
        // card outlives its reader.
        if (running && fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) &&
            !card.serve(fd)) {
            say("the reader closed the connection");
            running = false;
        }
    }
    if (fd >= 0)
        close(fd);
    vreader_free(reader);
    vcard_emul_finalize();
    return status;
}
