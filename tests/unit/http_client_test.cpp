#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/http.h"
#include "platform/process.h"
#include "temp_dir.h"

// The system HTTP client against real local servers: an HTTPS server with a
// throwaway CA, a second one whose certificate comes from another CA, a plain
// HTTP one and a CONNECT proxy, all small Python scripts started per test process.

namespace yoxa {
namespace {

using namespace std::chrono_literals;
using platform::ChildProcess;
using platform::HttpRequest;
using platform::HttpResponse;

constexpr const char* kPython = "/usr/bin/python3";

// Serves the cases below; /data?n=N sends N bytes where byte i is (i * 7) & 0xFF.
constexpr const char* kServerScript = R"PY(
import http.server, ssl, sys, time, urllib.parse
WINDOW = bytes((i * 7) & 0xFF for i in range(256)) * 257
CONTEXT = None  # plain HTTP without a certificate
if len(sys.argv) > 2:
    CONTEXT = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    CONTEXT.load_cert_chain(sys.argv[1], sys.argv[2])

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *args): pass
    def head(self, status, length, headers=()):
        self.send_response(status)
        for name, value in headers: self.send_header(name, value)
        self.send_header("Content-Length", str(length))
        self.end_headers()
    def reply(self, status, body=b"", headers=()):
        self.head(status, len(body), headers); self.wfile.write(body)
    def pattern(self, start, count):
        while count > 0:
            n = min(count, 65536)
            self.wfile.write(WINDOW[start % 256:start % 256 + n]); start += n; count -= n
    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)  # absolute-form too, as some clients send it in a tunnel
        query = dict(urllib.parse.parse_qsl(url.query))
        here = "%s://localhost:%d" % ("https" if CONTEXT else "http", self.server.server_address[1])
        if url.path == "/data":
            size, start, status = int(query["n"]), 0, 200
            headers = [("X-Mixed-Case", "Value"), ("X-Dup", "first"), ("X-Dup", "second")]
            wanted = self.headers.get("Range", "")
            if wanted.startswith("bytes=") and wanted.endswith("-"):
                start, status = int(wanted[6:-1]), 206
                headers.append(("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size)))
            self.head(status, size - start, headers); self.pattern(start, size - start)
        elif url.path == "/echo":
            names = ("User-Agent", "X-Test")
            self.reply(200, "\n".join("%s=%s" % (n, self.headers.get(n, "")) for n in names).encode())
        elif url.path == "/hop1":
            self.reply(302, b"moved", [("Location", "hop2?x=1"), ("X-Hop", "1")])
        elif url.path == "/hop2":
            self.reply(307, headers=[("Location", here + "/data?n=10"), ("X-Hop", "2")])
        elif url.path == "/to":
            self.reply(301, headers=[("Location", query["url"])])
        elif url.path == "/loop":
            self.reply(302, headers=[("Location", "/loop")])
        elif url.path == "/silent":
            time.sleep(60)
        elif url.path == "/stall":
            self.head(200, 1000); self.pattern(0, 100); self.wfile.flush(); time.sleep(60)
        else:
            self.reply(404, b"not here")

class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    def get_request(self):  # the handshake runs in the handler thread, not in accept
        sock, address = self.socket.accept()
        if CONTEXT: sock = CONTEXT.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, address
    def handle_error(self, request, address): pass

server = Server(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
)PY";

// A CONNECT-only proxy that prints each tunnel target.
constexpr const char* kProxyScript = R"PY(
import socket, threading
def pump(source, sink):
    try:
        while data := source.recv(65536): sink.sendall(data)
    except OSError: pass
    for s in (source, sink):
        try: s.shutdown(socket.SHUT_RDWR)
        except OSError: pass
def handle(client):
    head = b""
    while b"\r\n\r\n" not in head:
        data = client.recv(4096)
        if not data: return client.close()
        head += data
    method, target = head.split(b"\r\n")[0].decode().split(" ")[:2]
    if method != "CONNECT":
        client.sendall(b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n"); return client.close()
    print("CONNECT", target, flush=True)
    host, port = target.rsplit(":", 1)
    upstream = socket.create_connection((host, int(port)))
    client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
    threading.Thread(target=pump, args=(client, upstream), daemon=True).start()
    pump(upstream, client)
listener = socket.create_server(("127.0.0.1", 0))
print(listener.getsockname()[1], flush=True)
while True:
    threading.Thread(target=handle, args=(listener.accept()[0],), daemon=True).start()
)PY";

std::optional<std::string> find_on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream entries(path ? path : "");
  for (std::string directory; std::getline(entries, directory, ':');) {
    const std::string candidate = directory + "/" + name;
    if (!directory.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

void write_file(const std::filesystem::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

bool run(const std::string& program, const std::vector<std::string>& arguments) {
  auto child = ChildProcess::start(program, arguments);
  return child && child->wait().value_or(1) == 0;
}

// A CA and a localhost certificate it signed, as PEM files named <prefix>ca.pem, <prefix>srv.pem, <prefix>srv.key.
bool make_pki(const std::string& openssl, const std::filesystem::path& dir, const std::string& prefix) {
  const auto at = [&](const std::string& name) { return (dir / (prefix + name)).string(); };
  write_file(at("srv.ext"), "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost\n");
  const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
  auto ca = std::vector<std::string>{"req", "-x509"};
  ca.insert(ca.end(), ec.begin(), ec.end());
  ca.insert(ca.end(), {"-keyout", at("ca.key"), "-out", at("ca.pem"), "-days", "2", "-subj",
                       "/CN=Yoxa " + prefix + "test CA", "-addext", "basicConstraints=critical,CA:TRUE",
                       "-addext", "keyUsage=critical,keyCertSign"});
  auto csr = std::vector<std::string>{"req"};
  csr.insert(csr.end(), ec.begin(), ec.end());
  csr.insert(csr.end(), {"-keyout", at("srv.key"), "-out", at("srv.csr"), "-subj", "/CN=localhost"});
  return run(openssl, ca) && run(openssl, csr) &&
         run(openssl, {"x509", "-req", "-in", at("srv.csr"), "-CA", at("ca.pem"), "-CAkey", at("ca.key"),
                       "-CAcreateserial", "-days", "2", "-extfile", at("srv.ext"), "-out", at("srv.pem")});
}

// A script child and the port it printed on its first line.
struct Script {
  std::optional<ChildProcess> process;
  int port = 0;
};

Script start_script(const std::filesystem::path& script, const std::vector<std::string>& arguments) {
  std::vector<std::string> all = {script.string()};
  all.insert(all.end(), arguments.begin(), arguments.end());
  Script started;
  auto child = ChildProcess::start(kPython, all);
  if (!child) return started;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (child->standard_output().find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    const auto state = child->wait_for(20ms);
    if (!state || *state) return started;  // it ended without a port
  }
  started.port = std::atoi(child->standard_output().c_str());
  if (started.port > 0) started.process = std::move(*child);
  return started;
}

// A local port nothing listens on.
int closed_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

struct Servers {
  testing::TempDir dir;
  Script https;
  Script rogue;  // its certificate comes from a CA the client does not trust
  Script plain;  // plain HTTP
  Script proxy;
};

std::unique_ptr<Servers> servers;
std::string skip_reason;

class HttpClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const auto openssl = find_on_path("openssl");
    if (!openssl || ::access(kPython, X_OK) != 0) {
      skip_reason = "openssl or python3 is missing";
      return;
    }
    servers = std::make_unique<Servers>();
    const auto& dir = servers->dir.path();
    write_file(dir / "server.py", kServerScript);
    write_file(dir / "proxy.py", kProxyScript);
    if (!make_pki(*openssl, dir, "") || !make_pki(*openssl, dir, "rogue-")) {
      skip_reason = "openssl could not make the test certificates";
      return;
    }
    const auto tls = [&](const std::string& prefix) {
      return std::vector<std::string>{(dir / (prefix + "srv.pem")).string(), (dir / (prefix + "srv.key")).string()};
    };
    servers->https = start_script(dir / "server.py", tls(""));
    servers->rogue = start_script(dir / "server.py", tls("rogue-"));
    servers->plain = start_script(dir / "server.py", {});
    servers->proxy = start_script(dir / "proxy.py", {});
    ::setenv("YOXA_TEST_CA_BUNDLE", (dir / "ca.pem").c_str(), 1);
  }
  static void TearDownTestSuite() {
    ::unsetenv("YOXA_TEST_CA_BUNDLE");
    servers.reset();
  }
  void SetUp() override {
    if (!skip_reason.empty()) GTEST_SKIP() << skip_reason;
    for (const Script* script : {&servers->https, &servers->rogue, &servers->plain, &servers->proxy})
      ASSERT_TRUE(script->process) << "a test server did not start";
  }

  static std::string url(const std::string& path, int port = servers->https.port) {
    return "https://localhost:" + std::to_string(port) + path;
  }
  static HttpRequest request(const std::string& target, std::uint32_t timeout_seconds = 10) {
    HttpRequest built;
    built.url = target;
    built.user_agent = "yoxa-test/1.0";
    built.timeout_seconds = timeout_seconds;
    return built;
  }
  static std::unique_ptr<HttpResponse> send(const HttpRequest& built) {
    auto response = platform::system_http_client().send(built);
    EXPECT_TRUE(response.has_value()) << (response ? "" : response.error().text);
    return response ? std::move(*response) : nullptr;
  }
  // The whole body, read in pieces of `piece` bytes. Each read fills the buffer
  // but the last, so the caller's chunks have the size it chose.
  static std::string body(HttpResponse& response, std::size_t piece = 4096) {
    std::string all;
    std::vector<char> buffer(piece);
    bool short_read = false;
    while (true) {
      auto got = response.read(buffer);
      EXPECT_TRUE(got.has_value()) << (got ? "" : got.error().text);
      if (!got || *got == 0) return all;
      EXPECT_FALSE(short_read) << "a short read before the end of the body";
      EXPECT_LE(*got, piece);
      short_read = *got < piece;
      all.append(buffer.data(), *got);
    }
  }
  static std::string pattern(std::size_t start, std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(((start + i) * 7) & 0xFF);
    return bytes;
  }
};

TEST_F(HttpClientTest, ReadsTheBodyInSmallPieces) {
  auto response = send(request(url("/data?n=100000")));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status(), 200u);
  EXPECT_EQ(response->final_url(), url("/data?n=100000"));
  EXPECT_EQ(body(*response, 777), pattern(0, 100000));
  std::vector<char> more(16);
  EXPECT_EQ(response->read(more).value_or(99), 0u);  // the end stays the end
}

TEST_F(HttpClientTest, FindsHeadersWithoutRegardToCase) {
  auto response = send(request(url("/data?n=10")));
  ASSERT_TRUE(response);
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"X-Mixed-Case", "Value"}, {"x-mixed-case", "Value"}, {"X-MIXED-CASE", "Value"},
      {"content-length", "10"},  {"X-Dup", "first"},        {"X-Absent", std::nullopt},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(response->header(name), expected) << name;
}

TEST_F(HttpClientTest, SendsUserAgentAndExtraHeaders) {
  auto built = request(url("/echo"));
  built.headers = {{"X-Test", "forty two"}};
  auto response = send(built);
  ASSERT_TRUE(response);
  EXPECT_EQ(body(*response), "User-Agent=yoxa-test/1.0\nX-Test=forty two");
}

TEST_F(HttpClientTest, RangeRequestGetsPartialContent) {
  auto built = request(url("/data?n=100000"));
  built.headers = {{"Range", "bytes=99990-"}};
  auto response = send(built);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status(), 206u);
  EXPECT_EQ(response->header("Content-Range"), "bytes 99990-99999/100000");
  EXPECT_EQ(body(*response), pattern(99990, 10));
}

TEST_F(HttpClientTest, FollowsRedirectsAndReportsTheLastUrl) {
  const std::string plain = "http://localhost:" + std::to_string(servers->plain.port) + "/data?n=10";
  const std::pair<std::string, std::string> cases[] = {
      {url("/hop1"), url("/data?n=10")},  // a relative, then an absolute Location
      {url("/to?url=" + plain), plain},    // plain http is followed so the caller can refuse it
  };
  for (const auto& [start, last] : cases) {
    auto response = send(request(start));
    ASSERT_TRUE(response) << start;
    EXPECT_EQ(response->status(), 200u) << start;
    EXPECT_EQ(response->final_url(), last);
    EXPECT_EQ(response->header("X-Hop"), std::nullopt) << "headers of a redirect leaked into the final response";
    EXPECT_EQ(body(*response), pattern(0, 10)) << start;
  }
}

TEST_F(HttpClientTest, ErrorStatusIsAResponseWithItsBody) {
  auto response = send(request(url("/missing")));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status(), 404u);
  EXPECT_EQ(body(*response), "not here");
}

TEST_F(HttpClientTest, TransportFailuresAreErrorsNamingTheCause) {
  struct Case {
    const char* name;
    std::string url;
    std::optional<std::string> proxy;
    const char* cause;
  };
  const Case cases[] = {
      {"connection refused", url("/", closed_port()), std::nullopt, "cannot connect"},
      {"proxy refused", url("/data?n=1"), "localhost:" + std::to_string(closed_port()), "cannot connect"},
      {"certificate from another CA", url("/data?n=1", servers->rogue.port), std::nullopt, "TLS failure"},
      {"headers never come", url("/silent"), std::nullopt, "timed out"},
      {"endless redirects", url("/loop"), std::nullopt, "too many redirects"},
  };
  for (const auto& c : cases) {
    auto built = request(c.url, 2);
    built.proxy = c.proxy;
    const auto began = std::chrono::steady_clock::now();
    auto response = platform::system_http_client().send(built);
    const auto took = std::chrono::steady_clock::now() - began;
    ASSERT_FALSE(response.has_value()) << c.name;
    EXPECT_NE(response.error().text.find(c.cause), std::string::npos) << c.name << ": " << response.error().text;
    EXPECT_LT(took, 6s) << c.name;
  }
}

TEST_F(HttpClientTest, StalledBodyEndsWithAnError) {
  auto response = send(request(url("/stall"), 2));
  ASSERT_TRUE(response);
  std::vector<char> buffer(4096);
  std::size_t total = 0;
  const auto began = std::chrono::steady_clock::now();
  std::expected<std::size_t, platform::HttpError> got;
  while ((got = response->read(buffer)) && *got > 0) total += *got;
  EXPECT_EQ(total, 100u);
  ASSERT_FALSE(got.has_value()) << "a stalled body looked complete";
  EXPECT_NE(got.error().text.find("timed out"), std::string::npos) << got.error().text;
  EXPECT_LT(std::chrono::steady_clock::now() - began, 6s);
}

TEST_F(HttpClientTest, ProxyTunnelsTheRequest) {
  auto built = request(url("/data?n=1000"));
  built.proxy = "localhost:" + std::to_string(servers->proxy.port);
  auto response = send(built);
  ASSERT_TRUE(response);
  EXPECT_EQ(body(*response), pattern(0, 1000));
  static_cast<void>(servers->proxy.process->wait_for(100ms));  // collects what the proxy printed
  EXPECT_NE(servers->proxy.process->standard_output().find("CONNECT localhost:" + std::to_string(servers->https.port)),
            std::string::npos);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryIsMeaningful = false;  // the quarantine keeps freed memory resident
#else
constexpr bool kResidentMemoryIsMeaningful = true;
#endif

// Resident and peak memory of this process, in KiB.
std::pair<long, long> memory_kib() {
  std::ifstream status("/proc/self/status");
  long rss = 0, peak = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) rss = std::atol(line.c_str() + 6);
    if (line.starts_with("VmHWM:")) peak = std::atol(line.c_str() + 6);
  }
  return {rss, peak};
}

TEST_F(HttpClientTest, LargeBodyStreamsInBoundedMemory) {
  constexpr std::size_t kSize = 64u << 20;
  const long rss_before = memory_kib().first;
  auto response = send(request(url("/data?n=" + std::to_string(kSize))));
  ASSERT_TRUE(response);
  std::vector<char> buffer(256 * 1024);
  std::size_t total = 0;
  bool same = true;
  while (auto got = response->read(buffer)) {
    if (*got == 0) break;
    for (std::size_t i = 0; i < *got && same; ++i) same = buffer[i] == static_cast<char>(((total + i) * 7) & 0xFF);
    total += *got;
  }
  EXPECT_EQ(total, kSize);
  EXPECT_TRUE(same);
  if (kResidentMemoryIsMeaningful) {
    EXPECT_LT(memory_kib().second - rss_before, 16 * 1024) << "the body was buffered";
  }
}

}  // namespace
}  // namespace yoxa
