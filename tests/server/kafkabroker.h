// Kafka for tests: a real Apache Kafka broker (one node, KRaft) on loopback,
// made ready and run by scripts/kafka-broker, with a PLAINTEXT listener and
// a SASL_SSL one (SCRAM-SHA-512, a throw-away CA); read back by kcat
// (tests/server/kcat.h). The broker runs as long as the object (and no
// longer than this process: the script stops it once the process has
// gone). Only the test's own thread calls it.
//
// Where Java or Kafka's jars cannot be had (the script exits 77),
// Available() is false and Unavailable() says why, for the test to skip.
// scripts/test makes them ready first; with CI=true set, a test fails
// instead of skipping.
#pragma once

#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tests/server/kcat.h"

class KafkaBroker {
  public:
    // The release of the 3 line scripts/kafka-broker pins beside the current
    // one (its brokers take the SCRAM exchange of librdkafka before 2.6.1).
    static constexpr const char* kThreeNine = "3.9.2";

    // Starts a broker in dir (a fresh folder): of release `version` (empty:
    // the script's first, the current one), with broker properties
    // `settings` (key=value).
    KafkaBroker(const std::string& dir, const std::string& version = "",
                const std::vector<std::string>& settings = {})
        : dir(dir) {
        std::string command = "QUELLON_KAFKA_NO_INSTALL=1 " + Script() + " start '" + dir +
                              "' --owner " + std::to_string(getpid());
        if (!version.empty()) command += " --version " + version;
        for (const std::string& s : settings) command += " --set '" + s + "'";
        command += " 2>&1";
        std::string output;
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) {
            failure = "popen failed";
            return;
        }
        char line[4096];
        while (fgets(line, sizeof line, pipe) != nullptr) {
            std::string text = line;
            output += text;
            while (!text.empty() && text.back() == '\n') text.pop_back();
            const size_t eq = text.find('=');
            if (eq != std::string::npos && text.find(' ') > eq) {
                values[text.substr(0, eq)] = text.substr(eq + 1);
            }
        }
        const int status = pclose(pipe);
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (code == 77) {
            unavailable = output;
        } else if (code != 0 || Value("plaintext").empty()) {
            failure = "scripts/kafka-broker start exited " + std::to_string(code) + ":\n" + output;
        } else {
            started = true;
        }
    }
    ~KafkaBroker() { Stop(); }
    KafkaBroker(const KafkaBroker&) = delete;
    KafkaBroker& operator=(const KafkaBroker&) = delete;

    bool Available() const { return unavailable.empty(); }
    const std::string& Unavailable() const { return unavailable; }
    bool Ok() const { return started; }
    // Why the broker did not start (empty when it did).
    const std::string& Failure() const { return failure; }

    // A value the script printed: version, plaintext, sasl_ssl, ca, user,
    // password, startup_ms, rss_kb.
    std::string Value(const std::string& key) const {
        auto it = values.find(key);
        return it == values.end() ? std::string() : it->second;
    }
    std::string Plaintext() const { return Value("plaintext"); }
    std::string SaslSsl() const { return Value("sasl_ssl"); }

    // Every message of topic, read by kcat from the plaintext listener.
    std::vector<KafkaMessage> Read(const std::string& topic) const {
        return KcatRead(Plaintext(), topic);
    }
    // The same through the SASL_SSL listener, as user with password.
    std::vector<KafkaMessage> ReadSecured(const std::string& topic, const std::string& user,
                                          const std::string& password) const {
        return KcatRead(SaslSsl(), topic,
                        "-X security.protocol=SASL_SSL -X sasl.mechanism=SCRAM-SHA-512 "
                        "-X sasl.username=" +
                            user + " -X sasl.password=" + password +
                            " -X ssl.ca.location=" + Value("ca"));
    }

    void Stop() {
        if (!started) return;
        started = false;
        const std::string command = Script() + " stop '" + dir + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) failure = "scripts/kafka-broker stop failed";
    }

    // Whether a test that cannot have a broker fails rather than skips.
    static bool Required() {
        const char* ci = std::getenv("CI");
        return ci != nullptr && std::string(ci) == "true";
    }

  private:
    static std::string Script() {
        const char* source = std::getenv("QUELLON_SOURCE_DIR");
        return std::string(source != nullptr ? source : QUELLON_TEST_SOURCE_ROOT) +
               "/scripts/kafka-broker";
    }

    std::string dir;
    std::map<std::string, std::string> values;
    std::string unavailable;
    std::string failure;
    bool started = false;
};
