#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/http.h"
#include "clock.h"
#include "store.h"

namespace trellisant::sandbox {

// A stand-in for the storage providers: serves the files of the store's deliveries as HTTPS
// range downloads under the capability URLs, and misbehaves on request for tests.
class ProviderServer {
 public:
  struct Options {
    std::filesystem::path tlsFolder;  // where ensureTlsMaterial keeps the certificates
    std::string bindAddress = "127.0.0.1";
    int port = 0;  // 0: any free port
    std::string publicHost = "storage.googleapis.com";
    // Each answer's pace in bytes per second, as over a real connection; 0: as fast as it goes.
    std::int64_t bytesPerSecond = 0;
  };

  // One way to answer a file request wrongly.
  struct Fault {
    enum class Kind {
      WholeFile,    // 200 with the whole file
      WrongTotal,   // Content-Range with a total one larger than the file
      StarTotal,    // Content-Range total "*"
      Gzip,         // Content-Encoding: gzip (the bytes themselves unchanged)
      ExtraByte,    // one byte more than the range (`bytes` more when given)
      CloseAfter,   // closes the connection after `bytes` bytes of the body
      Redirect,     // `status` (default 302) to `location`
      Trickle,      // `bytes` per second
      ServerError,  // `status` (default 503)
      SlowLoris,    // the right headers, then one body byte every `bytes` milliseconds
    };
    Kind kind = Kind::WholeFile;
    std::int64_t bytes = 0;
    std::string location;
    int status = 0;

    static Fault closeAfter(std::int64_t bytes) { return Fault{Kind::CloseAfter, bytes, {}, 0}; }
    static Fault trickle(std::int64_t bytesPerSecond) {
      return Fault{Kind::Trickle, bytesPerSecond, {}, 0};
    }
    static Fault redirect(std::string location, int status = 302) {
      return Fault{Kind::Redirect, 0, std::move(location), status};
    }
  };

  struct Request {
    std::string method;
    std::string path;
    std::optional<std::string> range;
    http::Headers headers;
    Date time;
    std::optional<std::string> header(std::string_view name) const {
      return http::findHeader(headers, name);
    }
  };

  explicit ProviderServer(Options options, std::shared_ptr<DeliveryStore> store);
  ~ProviderServer();
  ProviderServer(const ProviderServer&) = delete;
  ProviderServer& operator=(const ProviderServer&) = delete;

  // Binds and starts serving; throws PlatformError when it cannot listen.
  void start();
  // Returns promptly, also while slow answers are streaming. Called by the destructor.
  void stop();

  int port() const;
  // "https://" + publicHost + ":" + port, without the port when it is 443: capability URLs
  // are baseUrl() + kFilesRoot + delivery id + "/" + file id.
  std::string baseUrl() const;
  // The file's address under another host name that resolves to this server.
  std::string fileUrl(std::string_view host, std::string_view deliveryId,
                      std::string_view fileId) const;

  // Applies `fault` to requests for `fileId` (every file when absent), for the next `times`
  // such requests (every one when absent). The earliest matching fault wins.
  void inject(Fault fault, std::optional<std::string> fileId = std::nullopt,
              std::optional<int> times = std::nullopt);
  void clearFaults();

  std::vector<Request> requests() const;
  void clearRequests();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace trellisant::sandbox
