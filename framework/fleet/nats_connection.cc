// A NATS connection with the runtime's servers, credentials and TLS, and its
// socket thread.
#include "framework/fleet/nats_connection.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <memory>
#include <mutex>

#include "framework/runtime/trace.h"
#include "framework/runtime/trusted_files.h"

static WEX1_Handle wex1 = WEX1_Sync(__FILE__, __DATE__, __TIME__, "HOV100");

namespace {

constexpr int64_t kReconnectWaitMs = 1000;
constexpr int64_t kConnectTimeoutMs = 2000;
constexpr int64_t kCloseFlushMs = 1000;
// The niceness of the library's own threads: see OpenLibrary.
constexpr int kLibraryNice = 10;

struct Options_Free {
  void operator()(natsOptions* o) const { natsOptions_Destroy(o); }
};

// The first server, for traces (addresses only: no secret is ever in one).
std::string ServersText(natsConnection* nc) {
  char url[256];
  if (natsConnection_GetConnectedUrl(nc, url, sizeof url) == NATS_OK &&
      url[0] != '\0') {
    return url;
  }
  return "the NATS servers";
}

// `closure` is the Nats_Connection.
void OnDisconnected(natsConnection* nc, void* closure) {
  if (natsConnection_IsClosed(nc)) {
    return;  // closed by its owner (the agent stops): nothing is lost
  }
  if (!static_cast<Nats_Connection*>(closure)->MarkLost(true)) {
    return;  // a failed try of the same loss
  }
  WEX1_TRACE(wex1, WEX1_ERROR,
             "\nNATS connection lost (%s); trying again every second.",
             ServersText(nc).c_str());
}

void OnReconnected(natsConnection* nc, void* closure) {
  if (!static_cast<Nats_Connection*>(closure)->MarkLost(false)) {
    return;  // already said
  }
  WEX1_TRACE(wex1, WEX1_FLOW, "\nNATS connection made to %s.",
             ServersText(nc).c_str());
}

void OnAsyncError(natsConnection* /*nc*/, natsSubscription* /*sub*/,
                  natsStatus s, void* /*closure*/) {
  WEX1_TRACE(wex1, WEX1_ERROR, "\nNATS error: %s", natsStatus_GetText(s));
}

// A file named by `variable` that the connection trusts: "" when unset;
// false when it is refused (traced; *err for the caller to report).
bool TrustedEnvFile(const char* variable, const char* what, std::string* path,
                    std::string* err) {
  const char* value = getenv(variable);
  *path = value != nullptr ? value : "";
  if (path->empty() || HOV_TrustedFile(what, path->c_str(), false, err)) {
    return true;
  }
  return false;
}

// Opens the library from a thread of lower priority. The threads the
// library makes for itself (its timers, its callbacks, and the collector
// that frees each message read) are made there and keep that priority:
// a collector woken for each few answers freed would otherwise preempt the
// thread that reads them, hundreds of thousands of times a second.
void OpenLibrary() {
  pthread_t t;
  if (pthread_create(
          &t, nullptr,
          [](void*) -> void* {
            pthread_setname_np(pthread_self(), "qor-nats-lib");
            (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()),
                              kLibraryNice);
            (void)nats_Open(-1);
            return nullptr;
          },
          nullptr) == 0) {
    pthread_join(t, nullptr);
  }
}

bool Check(natsStatus s, const char* what, std::string* err) {
  if (s == NATS_OK) {
    return true;
  }
  *err = std::string(what) + ": " + NatsStatusText(s);
  return false;
}

}  // namespace

bool Nats_Connection::Open(const Nats_Url& url, const std::string& client_name,
                           std::string* err,
                           Nats_Io_Loop::After_Read after_read, void* closure) {
  Close();
  static std::once_flag opened;
  std::call_once(opened, OpenLibrary);
  std::string creds, ca;
  if (!TrustedEnvFile("HOV_NATS_CREDS", "NATS credentials file", &creds, err) ||
      !TrustedEnvFile("HOV_NATS_CA", "NATS CA file", &ca, err)) {
    return false;
  }
  natsOptions* raw = nullptr;
  if (!Check(natsOptions_Create(&raw), "NATS options", err)) {
    return false;
  }
  const std::unique_ptr<natsOptions, Options_Free> opts(raw);
  std::vector<const char*> servers;
  for (const std::string& s : url.servers) {
    servers.push_back(s.c_str());
  }
  if (!Check(natsOptions_SetServers(opts.get(), servers.data(),
                                    static_cast<int>(servers.size())),
             "NATS servers", err) ||
      !Check(natsOptions_SetNoRandomize(opts.get(), true), "NATS options",
             err) ||
      !Check(natsOptions_SetName(opts.get(), client_name.c_str()),
             "NATS options", err) ||
      !Check(natsOptions_SetTimeout(opts.get(), kConnectTimeoutMs),
             "NATS options", err) ||
      !Check(natsOptions_SetMaxReconnect(opts.get(), -1), "NATS options",
             err) ||
      !Check(natsOptions_SetReconnectWait(opts.get(), kReconnectWaitMs),
             "NATS options", err) ||
      !Check(natsOptions_SetRetryOnFailedConnect(opts.get(), true,
                                                 OnReconnected, this),
             "NATS options", err) ||
      !Check(natsOptions_SetDisconnectedCB(opts.get(), OnDisconnected, this),
             "NATS options", err) ||
      !Check(natsOptions_SetReconnectedCB(opts.get(), OnReconnected, this),
             "NATS options", err) ||
      !Check(natsOptions_SetErrorHandler(opts.get(), OnAsyncError, nullptr),
             "NATS options", err)) {
    return false;
  }
  if (url.tls &&
      !Check(natsOptions_SetSecure(opts.get(), true), "NATS TLS", err)) {
    return false;
  }
  if (!ca.empty() &&
      !Check(natsOptions_LoadCATrustedCertificates(opts.get(), ca.c_str()),
             ("NATS CA file " + ca).c_str(), err)) {
    return false;
  }
  if (!creds.empty() &&
      !Check(natsOptions_SetUserCredentialsFromFiles(opts.get(), creds.c_str(),
                                                     nullptr),
             ("NATS credentials file " + creds).c_str(), err)) {
    return false;
  }
  if (after_read != nullptr) {
    loop_ = std::make_unique<Nats_Io_Loop>(after_read, closure);
    if (!loop_->Start(err) ||
        !Check(loop_->Configure(opts.get()), "NATS event loop", err)) {
      loop_.reset();
      return false;
    }
  }
  // Down until connected: the first connection is traced once, whoever
  // makes it.
  lost_.store(true);
  const natsStatus s = natsConnection_Connect(&nc_, opts.get());
  if (s == NATS_NOT_YET_CONNECTED) {
    WEX1_TRACE(wex1, WEX1_ERROR,
               "\nNo NATS server answers yet at %s; trying again every second.",
               url.servers.front().c_str());
    return true;
  }
  if (s != NATS_OK) {
    nc_ = nullptr;
    loop_.reset();
    *err =
        "cannot connect to " + url.servers.front() + ": " + NatsStatusText(s);
    return false;
  }
  if (MarkLost(false)) {
    WEX1_TRACE(wex1, WEX1_FLOW, "\nNATS connection made to %s.",
               ServersText(nc_).c_str());
  }
  return true;
}

void Nats_Connection::Close() {
  if (nc_ == nullptr) {
    return;
  }
  natsConnection_FlushTimeout(nc_, kCloseFlushMs);
  natsConnection_Close(nc_);
  loop_.reset();  // no more reading before the connection is freed
  natsConnection_Destroy(nc_);
  nc_ = nullptr;
}
