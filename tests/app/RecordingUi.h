#pragma once

#include "app/Update.h"

#include <functional>
#include <string>
#include <vector>

// A front end that writes down everything the update asks of it, in order.
class TRecordingUi : public TUpdateUi {
public:
    void EnableButtons(bool continueEnabled, bool exitEnabled) override {
        Events.push_back(std::string("buttons ") + (continueEnabled ? "C" : "-") +
                         (exitEnabled ? "E" : "-"));
    }
    void ShowActivity(const std::string& text) override {
        Events.push_back("activity " + text);
        Activities.push_back(text);
        if (OnActivity) {
            OnActivity(text);
        }
    }
    void ShowMessage(const std::string& text) override {
        Events.push_back("message");
        Messages.push_back(text);
    }
    void Terminate() override {
        Events.push_back("terminate");
        ++Terminated;
    }
    void ProcessMessages() override { Events.push_back("process"); }
    void SuspendHistory() override {
        Events.push_back("suspend");
        Rows.clear();
    }
    void AddHistoryRow(const std::vector<std::string>& row) override {
        Events.push_back("row");
        Rows.push_back(row);
    }
    void ResumeHistory() override { Events.push_back("resume"); }
    bool Ask(const TQuestion& question) override {
        Events.push_back("ask");
        Questions.push_back(question);
        return Answer && Answer(question);
    }
    void SelectLine(int address, std::int32_t baudrate) override {
        Events.push_back("select " + std::to_string(address) + " " + std::to_string(baudrate));
    }
    void BackToSettings() override { Events.push_back("back"); }

    std::function<void(const std::string&)> OnActivity; // looks at the system as it paints
    std::function<bool(const TQuestion&)> Answer;       // none: every question gets a no
    std::vector<TQuestion> Questions;
    std::vector<std::string> Events;
    std::vector<std::string> Activities;
    std::vector<std::string> Messages;
    std::vector<std::vector<std::string>> Rows;
    int Terminated = 0;
};
