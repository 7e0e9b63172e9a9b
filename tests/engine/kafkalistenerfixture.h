// The quellon program feeding Kafka, for the end-to-end tests: standing
// subscriptions to two simulated hosts (a real SQLite store; host A every
// log, host B System only), a state file, the Kafka output pointed at the
// cluster a derived fixture gives (librdkafka's mock cluster, or a real
// broker), and the events topic read back by kcat. Only the test's own
// thread calls it.
#pragma once

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/builtprogram.h"
#include "tests/app/quellonprocess.h"
#include "tests/app/tempdir.h"
#include "tests/platform/eventually.h"
#include "tests/server/kcat.h"
#include "tests/serverframework/lineclient.h"
#include "tests/serverframework/loopbackport.h"
#include "tests/wmi/simfixture.h"

class KafkaListenerFixture : public simtest::SimStoreFixture {
  public:
    static constexpr const char* kHostA = "127.0.0.2";
    static constexpr const char* kHostB = "127.0.0.3";
    // The subscriptions' credential's password, which no log may show.
    static constexpr const char* kCredentialPassword = "Cr3d-S3cret";

  protected:
    // The cluster's bootstrap list for KAFKA.BROKERS.
    virtual std::string Bootstraps() = 0;
    // Every message of topic, read back by kcat.
    virtual std::vector<KafkaMessage> ReadTopic(const std::string& topic) = 0;

    void SetUp() override {
        SimStoreFixture::SetUp();
        AddHost(kHostA);
        AddHost(kHostB);
        WriteIni();
    }

    // quellon.ini with the [KAFKA] section's extra keys (kafkaExtra), as the
    // next Start reads it.
    void WriteIni() {
        dir.Write("quellon.ini",
                  "[LOCAL_AUTH]\nUSERNAME=alice\nPASSWORD=secret\n"
                  "[PERFORMANCE]\nConnectionProcessors=2\nEventRetriever=2\nWT_FOR_WQ=0\n"
                  "[OTHERS]\nMinReconnectInterval=1\nMaxReconnectInterval=1\n"
                  "CHECKTERMINATEFLAG=100\nEVENTWAITPERCONNECTION=100\nNUMBEROFEVENTSTOPOOL=50\n"
                  "STATEFILE=" +
                      dir.File("state.db") + "\n[LISTEN]\nADDRESS=127.0.0.1\nPORT=" +
                      std::to_string(port) + "\n[WMI]\nSIMSTORE=" + path +
                      "\n[Logger]\nfilename=" + dir.File("quellon.log") +
                      "\nlevel=debug\n"
                      "[KAFKA]\nBROKERS=" +
                      Bootstraps() + "\nlinger.ms=5\nlog_level=3\n" + kafkaExtra +
                      "[SUBSCRIPTIONS]\n"
                      "a-all=127.0.0.2 * * reader\n"
                      "b-system=127.0.0.3 System *\n"
                      "[CREDENTIALS]\nreader=CORP\\reader " +
                      kCredentialPassword + "\n");
    }

    void TearDown() override {
        if (HasFailure()) {
            std::cerr << "---- out ----\n"
                      << ReadWholeFile(out) << "---- quellon.log (tail) ----\n"
                      << TailOfFile(dir.File("quellon.log"), 8000) << "\n";
        }
    }

    // Starts the listener and waits until both standing subscriptions run.
    std::unique_ptr<QuellonProcess> Start() {
        out = dir.File("out" + std::to_string(++runs));
        auto p =
            std::make_unique<QuellonProcess>(BuiltProgram("quellon"), dir.File("quellon.ini"), out);
        EXPECT_TRUE(p->WaitForOutput("Press Q to quit", 20000)) << ReadWholeFile(out);
        EXPECT_TRUE(Eventually(
            [&] {
                std::string log = ReadWholeFile(dir.File("quellon.log"));
                size_t runsSeen = 0;
                for (size_t at = 0; (at = log.find("Host Connected", at)) != std::string::npos;
                     ++at) {
                    ++runsSeen;
                }
                return runsSeen >= 2 * static_cast<size_t>(runs);
            },
            20000));
        return p;
    }

    static wmi::sim::SimEvent Event(const std::string& log, uint32_t code) {
        return simtest::MakeEvent(log, 3, code, NowMicros());
    }
    static int64_t NowMicros() {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }

    // Records arriving while a test goes on: a thread of its own appends
    // 20 System records to each of hosts every 10 ms until Stop (or 20,000
    // each), through its own connection to the store.
    class Writer {
      public:
        Writer(const std::string& store, std::vector<std::string> hosts)
            : thread([this, store, hosts] {
                  wmi::sim::SimStore own;
                  if (own.open(store, false) != wmi::sim::SimResult::Ok) return;
                  while (writing.load() && written.load() < 20000) {
                      std::vector<wmi::sim::SimEvent> batch;
                      for (int i = 0; i < 20; ++i) batch.push_back(Event("System", 1));
                      for (const std::string& host : hosts) {
                          if (own.appendEvents(host, batch) != wmi::sim::SimResult::Ok) return;
                      }
                      written += 20;
                      std::this_thread::sleep_for(std::chrono::milliseconds(10));
                  }
              }) {}
        ~Writer() { Stop(); }
        Writer(const Writer&) = delete;
        Writer& operator=(const Writer&) = delete;

        // Ends the writing; the records each host was given.
        int Stop() {
            writing = false;
            if (thread.joinable()) thread.join();
            return written.load();
        }
        int Written() const { return written.load(); }

      private:
        std::atomic<bool> writing{true};
        std::atomic<int> written{0};
        std::thread thread;
    };

    // The record numbers of a topic's events by host, in the order read.
    std::map<std::string, std::vector<int64_t>> NumbersByHost(
        const std::string& topic = "quellon-events") {
        std::map<std::string, std::vector<int64_t>> byHost;
        for (const KafkaMessage& m : ReadTopic(topic)) {
            rapidjson::Document d;
            d.Parse(m.payload.c_str(), m.payload.size());
            if (d.HasParseError() || !d.HasMember("RecordNumber")) continue;
            byHost[m.key].push_back(d["RecordNumber"].GetInt64());
        }
        return byHost;
    }

    // The reply to LIST or STATS, from its first line (event records that
    // arrive before it skipped) up to its "." line.
    static std::string Reply(LineClient& client, const std::string& command) {
        client.SendLine(command);
        std::string reply = client.ReadUntil(command == "LIST" ? "OK List" : "OK Stats");
        for (std::string line = client.ReadLine(); !line.empty() && line != ".\r\n";
             line = client.ReadLine()) {
            reply += line;
        }
        return reply;
    }

    // More keys of the [KAFKA] section, one "KEY=value\n" each, set before
    // SetUp (or before WriteIni).
    std::string kafkaExtra;
    uint16_t port = FreePort();
    std::string out;
    int runs = 0;
};
