#include "provider_server.h"

#include <fcntl.h>
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "error.h"
#include "text.h"
#include "tls.h"

namespace trellisant::sandbox {
namespace {

struct Range {
  std::int64_t start = 0;
  std::int64_t end = 0;  // inclusive
};

// "bytes=S-E" or "bytes=S-", the only forms the client sends; clamped to the file.
std::optional<Range> parseRange(const std::string& header, std::int64_t size) {
  std::string_view text = header;
  if (text.substr(0, 6) != "bytes=") return std::nullopt;
  text.remove_prefix(6);
  auto dash = text.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  auto start = parseInt64(text.substr(0, dash));
  auto endText = text.substr(dash + 1);
  auto end = endText.empty() ? std::optional<long long>(size - 1) : parseInt64(endText);
  if (!start || !end || *start < 0 || *start > *end || *start >= size) return std::nullopt;
  return Range{*start, std::min<std::int64_t>(*end, size - 1)};
}

struct FaultEntry {
  ProviderServer::Fault fault;
  std::optional<std::string> fileId;
  std::optional<int> remaining;
};

}  // namespace

struct ProviderServer::Impl {
  Options options;
  std::shared_ptr<DeliveryStore> store;
  std::unique_ptr<httplib::SSLServer> server;
  std::thread listener;
  int port = 0;

  mutable std::mutex mutex;
  std::condition_variable stopped;
  bool stopping = false;
  std::vector<FaultEntry> faults;
  std::vector<Request> requests;

  void serveFile(const httplib::Request& request, httplib::Response& response);
  void record(const httplib::Request& request);
  std::optional<Fault> takeFault(const std::string& fileId);
  // Waits on the monotonic clock; false once the server is stopping.
  bool wait(std::chrono::milliseconds duration);
  void sendBytes(httplib::Response& response, const SandboxFile& file, std::int64_t offset,
                 std::int64_t length, const std::optional<Fault>& fault);
};

void ProviderServer::Impl::record(const httplib::Request& request) {
  Request entry;
  entry.method = request.method;
  entry.path = request.path;
  if (request.has_header("Range")) entry.range = request.get_header_value("Range");
  for (auto& [name, value] : request.headers) entry.headers.emplace_back(name, value);
  entry.time = SystemClock::now();
  std::lock_guard lock(mutex);
  requests.push_back(std::move(entry));
}

std::optional<ProviderServer::Fault> ProviderServer::Impl::takeFault(const std::string& fileId) {
  std::lock_guard lock(mutex);
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (it->fileId && *it->fileId != fileId) continue;
    Fault fault = it->fault;
    if (it->remaining && --*it->remaining <= 0) faults.erase(it);
    return fault;
  }
  return std::nullopt;
}

bool ProviderServer::Impl::wait(std::chrono::milliseconds duration) {
  std::unique_lock lock(mutex);
  return !stopped.wait_for(lock, duration, [&] { return stopping; });
}

void ProviderServer::Impl::serveFile(const httplib::Request& request, httplib::Response& response) {
  record(request);
  std::string deliveryId = request.matches[1];
  std::string fileId = request.matches[2];
  if (request.get_header_value("X-Sandbox-Signature") != capabilitySignature(deliveryId, fileId)) {
    response.status = 403;
    response.set_content("Missing or wrong provider signature.\n", "text/plain");
    return;
  }
  auto file = store->findFile(deliveryId, fileId);
  if (!file) {
    response.status = 404;
    response.set_content("No such file.\n", "text/plain");
    return;
  }
  // The range is answered here, not by the HTTP library, so that faults can bend every part.
  const_cast<httplib::Request&>(request).ranges.clear();

  std::optional<Fault> fault = takeFault(fileId);
  using Kind = Fault::Kind;
  if (fault && fault->kind == Kind::ServerError) {
    response.status = fault->status != 0 ? fault->status : 503;
    response.set_content("The provider is unavailable.\n", "text/plain");
    return;
  }
  if (fault && fault->kind == Kind::Redirect) {
    response.status = fault->status != 0 ? fault->status : 302;
    response.set_header("Location", fault->location);
    return;
  }

  std::optional<Range> range;
  if (request.has_header("Range")) {
    range = parseRange(request.get_header_value("Range"), file->size);
    if (!range) {
      response.status = 416;
      response.set_header("Content-Range", "bytes */" + std::to_string(file->size));
      return;
    }
  }
  if (!range || (fault && fault->kind == Kind::WholeFile)) {
    response.status = 200;
    sendBytes(response, *file, 0, file->size, fault);
    return;
  }
  std::string total = std::to_string(file->size);
  if (fault && fault->kind == Kind::WrongTotal) total = std::to_string(file->size + 1);
  if (fault && fault->kind == Kind::StarTotal) total = "*";
  response.status = 206;
  response.set_header("Content-Range", "bytes " + std::to_string(range->start) + "-" +
                                           std::to_string(range->end) + "/" + total);
  if (fault && fault->kind == Kind::Gzip) response.set_header("Content-Encoding", "gzip");
  sendBytes(response, *file, range->start, range->end - range->start + 1, fault);
}

// Streams the bytes from disk as they are asked for; the file is never held in memory.
void ProviderServer::Impl::sendBytes(httplib::Response& response, const SandboxFile& file,
                                     std::int64_t offset, std::int64_t length,
                                     const std::optional<Fault>& fault) {
  using Kind = Fault::Kind;
  auto fd = std::make_shared<int>(::open(file.source.c_str(), O_RDONLY | O_CLOEXEC));
  if (*fd < 0) {
    response.status = 500;
    response.set_content("The provider cannot read the file.\n", "text/plain");
    return;
  }
  auto is = [&](Kind kind) { return fault && fault->kind == kind; };
  std::int64_t extra = is(Kind::ExtraByte) ? std::max<std::int64_t>(fault->bytes, 1) : 0;
  std::int64_t announced = length + extra;
  std::int64_t limit = is(Kind::CloseAfter) ? fault->bytes : announced;
  std::int64_t perSecond =
      is(Kind::Trickle) ? std::max<std::int64_t>(fault->bytes, 1) : options.bytesPerSecond;
  // A byte at a time, slower than any reader gives up on.
  std::int64_t byteEvery = is(Kind::SlowLoris) ? std::max<std::int64_t>(fault->bytes, 1) : 0;
  if (announced == 0) {
    response.set_content("", "application/octet-stream");
    ::close(*fd);
    return;
  }

  auto provider = [this, fd, offset, length, limit, perSecond, byteEvery](
                      size_t at, size_t wanted, httplib::DataSink& sink) {
    auto position = static_cast<std::int64_t>(at);
    if (position >= limit) return false;  // closes the connection mid-body
    std::int64_t chunk =
        std::min<std::int64_t>({static_cast<std::int64_t>(wanted), limit - position, 1 << 20});
    if (byteEvery > 0) {
      chunk = 1;
      if (!wait(std::chrono::milliseconds(byteEvery))) return false;
    } else if (perSecond > 0) {
      chunk = std::min<std::int64_t>(chunk, std::max<std::int64_t>(perSecond / 10, 1));
      if (!wait(std::chrono::milliseconds(1000 * chunk / perSecond))) return false;
    }
    std::string buffer(static_cast<std::size_t>(chunk), 'x');  // the extra byte, past the range
    std::int64_t fromFile = std::max<std::int64_t>(0, std::min(chunk, length - position));
    if (fromFile > 0) {
      ssize_t count =
          ::pread(*fd, buffer.data(), static_cast<std::size_t>(fromFile), offset + position);
      if (count != fromFile) return false;
    }
    return sink.write(buffer.data(), buffer.size());
  };
  response.set_content_provider(static_cast<size_t>(announced), "application/octet-stream",
                                provider, [fd](bool) { ::close(*fd); });
}

ProviderServer::ProviderServer(Options options, std::shared_ptr<DeliveryStore> store)
    : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->store = store ? std::move(store) : std::make_shared<DeliveryStore>();
}

ProviderServer::~ProviderServer() {
  stop();
}

void ProviderServer::start() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = false;
  }
  TlsMaterial tls = ensureTlsMaterial(impl_->options.tlsFolder);
  impl_->server = std::make_unique<httplib::SSLServer>(tls.certFile.c_str(), tls.keyFile.c_str());
  if (!impl_->server->is_valid())
    throw PlatformError("The provider could not load its certificate.");
  impl_->server->set_keep_alive_timeout(1);
  impl_->server->Get(std::string(kFilesRoot) + "([^/]+)/([^/]+)",
                     [this](const httplib::Request& request, httplib::Response& response) {
                       impl_->serveFile(request, response);
                     });
  auto& o = impl_->options;
  int bound = o.port == 0 ? impl_->server->bind_to_any_port(o.bindAddress)
                          : (impl_->server->bind_to_port(o.bindAddress, o.port) ? o.port : -1);
  if (bound <= 0) throw PlatformError("The provider could not listen on " + o.bindAddress + ".");
  impl_->port = bound;
  impl_->listener = std::thread([server = impl_->server.get()] { server->listen_after_bind(); });
}

void ProviderServer::stop() {
  if (!impl_->server) return;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->stopped.notify_all();
  impl_->server->stop();
  if (impl_->listener.joinable()) impl_->listener.join();
  impl_->server.reset();
}

int ProviderServer::port() const {
  return impl_->port;
}

namespace {
// ":port", or nothing for the scheme's default port, as clients write the address.
std::string portSuffix(int port) {
  return port == 443 ? std::string() : ":" + std::to_string(port);
}
}  // namespace

std::string ProviderServer::baseUrl() const {
  return "https://" + impl_->options.publicHost + portSuffix(impl_->port);
}

std::string ProviderServer::fileUrl(std::string_view host, std::string_view deliveryId,
                                    std::string_view fileId) const {
  return "https://" + std::string(host) + portSuffix(impl_->port) + std::string(kFilesRoot) +
         std::string(deliveryId) + "/" + std::string(fileId);
}

void ProviderServer::inject(Fault fault, std::optional<std::string> fileId,
                            std::optional<int> times) {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.push_back({std::move(fault), std::move(fileId), times});
}

void ProviderServer::clearFaults() {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.clear();
}

std::vector<ProviderServer::Request> ProviderServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

void ProviderServer::clearRequests() {
  std::lock_guard lock(impl_->mutex);
  impl_->requests.clear();
}

}  // namespace trellisant::sandbox
