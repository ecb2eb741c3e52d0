// libcurl's multi interface on one thread: requests are queued by any
// thread, added to the multi handle there, and their answers handed back.
#include "framework/fleet/http_client.h"

#include <curl/curl.h>
#include <strings.h>

#include <map>

namespace {

constexpr size_t kAnswerMax = 64 * 1024;

// An exchange in flight: the easy handle's private data.
struct Transfer {
  std::unique_ptr<Http_Exchange> x;
  curl_slist* headers = nullptr;
};

size_t OnBody(char* data, size_t size, size_t n, void* p) {
  auto* t = static_cast<Transfer*>(p);
  const size_t bytes = size * n;
  std::string& a = t->x->answer;
  if (a.size() < kAnswerMax) {
    a.append(data, std::min(bytes, kAnswerMax - a.size()));
  }
  return bytes;
}

size_t OnHeader(char* data, size_t size, size_t n, void* p) {
  auto* t = static_cast<Transfer*>(p);
  const size_t bytes = size * n;
  static const char kName[] = "retry-after:";
  if (bytes > sizeof kName - 1 &&
      strncasecmp(data, kName, sizeof kName - 1) == 0) {
    std::string value(data + sizeof kName - 1, bytes - (sizeof kName - 1));
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n' ||
                              value.back() == ' ')) {
      value.pop_back();
    }
    const size_t from = value.find_first_not_of(' ');
    value.erase(0, from == std::string::npos ? value.size() : from);
    if (!value.empty() &&
        value.find_first_not_of("0123456789") == std::string::npos &&
        value.size() < 10) {
      t->x->retry_after_s = std::stol(value);
    } else if (!value.empty()) {
      // An HTTP date.
      const time_t when = curl_getdate(value.c_str(), nullptr);
      if (when > 0) {
        const time_t now = time(nullptr);
        t->x->retry_after_s = when > now ? static_cast<long>(when - now) : 0;
      }
    }
  } else if (bytes > 5 && strncasecmp(data, "HTTP/", 5) == 0) {
    t->x->retry_after_s = -1;  // a new answer (after a 100 Continue)
  }
  return bytes;
}

}  // namespace

Http_Client::Http_Client(
    Options options, std::function<void(std::unique_ptr<Http_Exchange>)> done,
    std::function<void()> tick)
    : options_(std::move(options)),
      done_(std::move(done)),
      tick_(std::move(tick)) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
}

Http_Client::~Http_Client() {
  stop_.store(true);
  if (started_) {
    curl_multi_wakeup(static_cast<CURLM*>(multi_));
    pthread_join(thread_, nullptr);
  }
  if (multi_ != nullptr) {
    curl_multi_cleanup(static_cast<CURLM*>(multi_));
  }
  curl_global_cleanup();
}

bool Http_Client::Start(std::string* err) {
  CURLM* m = curl_multi_init();
  if (m == nullptr) {
    *err = "cannot start the HTTP client";
    return false;
  }
  multi_ = m;
  curl_multi_setopt(m, CURLMOPT_MAX_HOST_CONNECTIONS,
                    static_cast<long>(options_.connections));
  curl_multi_setopt(m, CURLMOPT_MAXCONNECTS,
                    static_cast<long>(options_.connections));
  if (pthread_create(&thread_, nullptr, Main, this) != 0) {
    *err = "cannot start the HTTP client's thread";
    return false;
  }
  started_ = true;
  return true;
}

void Http_Client::Submit(std::unique_ptr<Http_Exchange> x) {
  {
    Posix_Mutex::Hold g(&mu_);
    queued_.push_back(std::move(x));
  }
  if (started_) {
    curl_multi_wakeup(static_cast<CURLM*>(multi_));
  }
}

void Http_Client::Wake() {
  if (started_) {
    curl_multi_wakeup(static_cast<CURLM*>(multi_));
  }
}

void* Http_Client::Main(void* self) {
  pthread_setname_np(pthread_self(), "qor-http");
  static_cast<Http_Client*>(self)->Loop();
  return nullptr;
}

void Http_Client::Loop() {
  CURLM* const m = static_cast<CURLM*>(multi_);
  std::vector<std::unique_ptr<Http_Exchange>> taken;
  std::map<CURL*, std::unique_ptr<Transfer>> transfers;
  while (!stop_.load()) {
    {
      Posix_Mutex::Hold g(&mu_);
      taken.swap(queued_);
    }
    for (std::unique_ptr<Http_Exchange>& x : taken) {
      CURL* e = curl_easy_init();
      auto t = std::make_unique<Transfer>();
      t->x = std::move(x);
      if (e == nullptr) {
        t->x->error = "cannot make an HTTP request";
        done_(std::move(t->x));
        continue;
      }
      for (const std::string& h : t->x->headers) {
        curl_slist* more = curl_slist_append(t->headers, h.c_str());
        if (more != nullptr) {
          t->headers = more;
        }
      }
      curl_easy_setopt(e, CURLOPT_URL, t->x->url.c_str());
      curl_easy_setopt(e, CURLOPT_POST, 1L);
      const size_t from = std::min(t->x->body_from, t->x->body.size());
      curl_easy_setopt(e, CURLOPT_POSTFIELDS, t->x->body.data() + from);
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(t->x->body.size() - from));
      curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headers);
      curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
      curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
      curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
      curl_easy_setopt(e, CURLOPT_HEADERDATA, t.get());
      curl_easy_setopt(e, CURLOPT_PRIVATE, t.get());
      curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
      curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                       options_.connect_timeout_ms);
      curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, options_.timeout_ms);
      curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
      curl_easy_setopt(e, CURLOPT_TCP_NODELAY, 1L);
      if (!options_.ca_file.empty()) {
        curl_easy_setopt(e, CURLOPT_CAINFO, options_.ca_file.c_str());
      }
      transfers.emplace(e, std::move(t));
      curl_multi_add_handle(m, e);
    }
    taken.clear();
    int running = 0;
    curl_multi_perform(m, &running);
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(m, &left)) {
      if (msg->msg != CURLMSG_DONE) {
        continue;
      }
      CURL* const e = msg->easy_handle;
      const CURLcode result = msg->data.result;
      auto it = transfers.find(e);
      curl_multi_remove_handle(m, e);
      if (it == transfers.end()) {
        curl_easy_cleanup(e);
        continue;
      }
      std::unique_ptr<Transfer> t = std::move(it->second);
      transfers.erase(it);
      if (result == CURLE_OK) {
        curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &t->x->status);
      } else {
        t->x->status = 0;
        t->x->error = curl_easy_strerror(result);
      }
      curl_easy_cleanup(e);
      curl_slist_free_all(t->headers);
      done_(std::move(t->x));
    }
    tick_();
    curl_multi_poll(m, nullptr, 0, 100, nullptr);
  }
  for (auto& [e, t] : transfers) {
    curl_multi_remove_handle(m, e);
    curl_easy_cleanup(e);
    curl_slist_free_all(t->headers);
  }
}
