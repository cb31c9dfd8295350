#pragma once

// Shared by the window's Qt Test programs: message boxes answered as a user would, a scratch
// folder for the settings file, and the program's own application object.

#include "app/Main.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

// Every modal message box that opens while this lives is read and answered through the real
// box: its text is recorded, then its OK button is clicked, or for a question Yes or No as the
// answers given say, in order (No once they are used up).
class TMessageBoxAnswerer {
public:
    explicit TMessageBoxAnswerer(QList<bool> answers = {}) : Answers(std::move(answers)) {
        Timer.setInterval(PollInterval);
        QObject::connect(&Timer, &QTimer::timeout, [this] { Answer(); });
        Timer.start();
    }

    QStringList Texts;
    QList<QMessageBox::Icon> Icons;
    std::chrono::steady_clock::time_point LastYes{}; // when Yes was last clicked

private:
    static constexpr int PollInterval = 5; // milliseconds

    void Answer() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) {
            return;
        }
        QAbstractButton* ok = box->button(QMessageBox::Ok);
        QAbstractButton* yes = box->button(QMessageBox::Yes);
        QAbstractButton* no = box->button(QMessageBox::No);
        if (ok == nullptr && (yes == nullptr || no == nullptr)) {
            return;
        }
        Texts << box->text();
        Icons << box->icon();
        if (ok != nullptr) {
            ok->click();
        } else if (!Answers.isEmpty() && Answers.takeFirst()) {
            LastYes = std::chrono::steady_clock::now();
            yes->click();
        } else {
            no->click();
        }
    }

    QList<bool> Answers;
    QTimer Timer;
};

// A folder of its own for each test's settings file.
class TSettingsFolder {
public:
    TSettingsFolder() {
        if (!Dir.isValid()) {
            qFatal("no temporary folder");
        }
    }

    std::string Path() const { return FilePath("firmware-loader.ini"); }
    std::string FilePath(const QString& name) const { return Dir.filePath(name).toStdString(); }
    void Write(const std::string& text) const { std::ofstream(Path(), std::ios::binary) << text; }
    std::string Read() const {
        std::ifstream in(Path(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    QTemporaryDir Dir;
};

// Test programs run on the program's own application object, so that the exception display
// is the real one.
#define FWL_WINDOW_TEST_MAIN(TestClass)                                                            \
    int main(int argc, char* argv[]) {                                                             \
        TApplication application(argc, argv);                                                      \
        application.setApplicationDisplayName(ApplicationTitle);                                   \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
