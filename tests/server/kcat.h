// Debian's kcat as an independent consumer for the Kafka tests: reads a
// topic from its beginning to its end (-C -J -e) and returns its messages
// in offset order within each partition. Called on the test's own thread.
#pragma once

#include <rapidjson/document.h>
#include <stdio.h>

#include <string>
#include <vector>

struct KafkaMessage {
    int partition = -1;
    long long offset = -1;
    std::string key;
    std::string payload;
};

// Every message of topic on the cluster at bootstraps; `options` are more
// kcat arguments (-X property=value for a secured listener). Empty when
// kcat cannot read it.
inline std::vector<KafkaMessage> KcatRead(const std::string& bootstraps, const std::string& topic,
                                          const std::string& options = "") {
    const std::string command = "kcat -C -q -J -e -o beginning -b " + bootstraps + " -t " + topic +
                                " " + options + " 2>/dev/null";
    std::vector<KafkaMessage> messages;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return messages;
    std::string line;
    char buffer[65536];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
        line += buffer;
        if (line.empty() || line.back() != '\n') continue;
        rapidjson::Document d;
        d.Parse(line.c_str(), line.size());
        line.clear();
        if (d.HasParseError() || !d.IsObject()) continue;
        KafkaMessage m;
        m.partition = d["partition"].GetInt();
        m.offset = d["offset"].GetInt64();
        if (d["key"].IsString()) m.key.assign(d["key"].GetString(), d["key"].GetStringLength());
        if (d["payload"].IsString()) {
            m.payload.assign(d["payload"].GetString(), d["payload"].GetStringLength());
        }
        messages.push_back(std::move(m));
    }
    pclose(pipe);
    return messages;
}
