#pragma once

// Checks that --json output follows schema 1: one object per line, each with "event", the
// first with "schema": 1, every key snake_case, and a "result" last; upload events name their
// device.

#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QJsonDocument>
#include <QJsonObject>

namespace testing_support {

inline std::vector<QJsonObject> ParseJsonLines(const std::string& out) {
    static const std::regex snakeCase("[a-z][a-z0-9_]*");
    static const std::set<std::string> deviceEvents = {"progress", "attempt", "trace",
                                                       "trace_summary", "device_result"};
    std::vector<QJsonObject> objects;
    std::size_t start = 0;
    for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = out.substr(start, end - start);
        QJsonParseError error;
        const auto document = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        EXPECT_TRUE(document.isObject()) << "not one JSON object: " << line;
        const QJsonObject object = document.object();
        for (const auto& key : object.keys()) {
            EXPECT_TRUE(std::regex_match(key.toStdString(), snakeCase)) << key.toStdString();
        }
        const std::string event = object.value("event").toString().toStdString();
        EXPECT_FALSE(event.empty()) << line;
        EXPECT_EQ(object.contains("schema"), objects.empty()) << line;
        if (objects.empty()) {
            EXPECT_EQ(object.value("schema").toInt(), 1) << line;
        }
        if (deviceEvents.count(event) != 0) {
            EXPECT_TRUE(object.value("device").isString()) << line;
        }
        objects.push_back(object);
    }
    EXPECT_EQ(start, out.size()) << "output does not end with a line end";
    EXPECT_FALSE(objects.empty());
    if (!objects.empty()) {
        EXPECT_EQ(objects.back().value("event").toString(), "result");
    }
    return objects;
}

}  // namespace testing_support
