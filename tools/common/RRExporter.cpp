/* RRExporter.cpp - scrapes, the status page and its JSON over HTTP/1.1, and a clean stop on SIGTERM. */
#include "RRExporter.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <exception>
#include <future>
#include <map>
#include <mutex>
#include <ostream>
#include <thread>

#include <httplib.h>

#include "KTUtils.h"
#include "RRMetrics.h"
#include "RRStatusBoard.h"
#include "RRStatusPage.h"
#include "RRToolException.h"

namespace {

const char* const kContentType = "text/plain; version=0.0.4";
const char* const kJson = "application/json; charset=utf-8";

/* One line: a reason must not break the response or the log. */
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

}  // namespace

std::string RRExporterScrape(const RRExporterOptions& options) {
  std::vector<std::future<RRRouterSnapshot>> pending;
  for (const RRToolAddress& monitor : options.monitors) {
    pending.push_back(std::async(std::launch::async, [monitor, &options] {
      try {
        return RRFetchRouter(monitor, options.timeoutMs);
      } catch (const CToolException& e) {
        throw CToolException(e.kind(), "router " + RRToolFormatAddress(monitor) + ": " + e.what());
      }
    }));
  }
  CMetricSet metrics;
  // Every future is waited for before the first failure is passed on.
  std::exception_ptr failure;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    try {
      RRRouterSnapshot snapshot = pending[i].get();
      metrics.add(snapshot, options.monitors.size() > 1 ? RRToolFormatAddress(options.monitors[i]) : "");
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  return metrics.render();
}

int RRExporterRun(const RRExporterOptions& options, std::ostream& out, std::ostream& err) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  httplib::Server server;
  std::mutex errMutex;
  server.set_read_timeout(options.timeoutMs / 1000, (options.timeoutMs % 1000) * 1000);
  server.set_write_timeout(options.timeoutMs / 1000, (options.timeoutMs % 1000) * 1000);
  // A short keep-alive lets a stop finish soon even with idle clients.
  server.set_keep_alive_timeout(2);
  CStatusBoard board(options.monitors, options.timeoutMs, options.intervalMs, [&](const std::string& line) {
    std::lock_guard<std::mutex> guard(errMutex);
    err << "rrctl exporter: " << oneLine(line) << std::endl;
  });
  const auto answer = [](httplib::Response& response, const RRStatusAnswer& result) {
    response.status = result.status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(result.body, kJson);
  };
  server.Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Content-Security-Policy", RRStatusPagePolicy());
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("Cache-Control", "no-store");
    response.set_content(RRStatusPageHtml(), "text/html; charset=utf-8");
  });
  const std::pair<const char*, CStatusBoard::Document> documents[] = {{"/api/pools", CStatusBoard::POOLS},
                                                                      {"/api/servers", CStatusBoard::SERVERS},
                                                                      {"/api/peers", CStatusBoard::PEERS},
                                                                      {"/api/history", CStatusBoard::HISTORY}};
  for (const auto& document : documents) {
    const CStatusBoard::Document which = document.second;
    server.Get(document.first, [&board, answer, which](const httplib::Request& request, httplib::Response& response) {
      answer(response, board.document(which, request.get_param_value("router")));
    });
  }
  server.Get("/api/explain", [&board, answer](const httplib::Request& request, httplib::Response& response) {
    std::multimap<std::string, std::string> params(request.params.begin(), request.params.end());
    answer(response, board.explain(params));
  });
  server.Get("/metrics", [&](const httplib::Request&, httplib::Response& response) {
    try {
      response.set_content(RRExporterScrape(options), kContentType);
    } catch (const std::exception& e) {
      const std::string reason = oneLine(e.what());
      {
        std::lock_guard<std::mutex> guard(errMutex);
        err << "rrctl exporter: scrape failed: " << reason << std::endl;
      }
      response.status = 503;
      response.set_content(reason + "\n", "text/plain; charset=utf-8");
    }
  });

  const std::string host = options.listen.host;
  int port = options.listen.port;
  if (port == 0) {
    port = server.bind_to_any_port(host);
    if (port <= 0) port = -1;
  } else if (!server.bind_to_port(host, port)) {
    port = -1;
  }
  if (port < 0) {
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
    throw CToolException(CToolException::TOOL_IO,
                         "cannot listen on " + RRToolFormatAddress(options.listen) +
                             " (address in use or not on this machine)");
  }
  out << "rrctl exporter: listening on " << RRToolFormatAddress({host, static_cast<uint16_t>(port)}) << std::endl;
  // The sampling threads inherit the blocked stop signals.
  board.start();

  std::atomic<bool> finished{false};
  std::thread stopper([&] {
    int received = 0;
    sigwait(&stopSignals, &received);
    if (finished) return;  // woken by the serving thread itself
    // The listener may not have started its accept loop yet: stop() acts
    // only on a running server, so wait for it.
    while (!finished) {
      if (server.is_running()) {
        server.stop();
        return;
      }
      SleepMilliseconds(10);
    }
  });
  const bool clean = server.listen_after_bind();
  finished = true;
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  board.stop();
  if (!clean) {
    std::lock_guard<std::mutex> guard(errMutex);
    err << "rrctl exporter: the listener failed" << std::endl;
    return 1;
  }
  return 0;
}
