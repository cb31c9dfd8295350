// The whole update through the window, against the simulated converter on a pseudo-terminal.

#include "tests/app/WindowTestSupport.h"
#include "tests/support/SimOnPty.h"
#include "tests/support/TodayText.h"

namespace {

constexpr int PortIndex = 4; // COM5
constexpr int BaudIndex = 1; // 19200, the simulator's speed
constexpr int BaudIndex57600 = 3;
constexpr int FirmwareStart = 0x5000; // first word of the carried firmware

const QString SuccessText = "Firmware loaded successfully!";
const QString ConnectFailureText = "Couldn't connect to converter via COM5!\nProgram terminated!";
const QString LoaderQuestion =
    "The converter's boot loader is waiting (no application runs).\n\nFinish the update now?";
const QString SearchQuestion = "No converter answers at address 1 with 19200 baud on COM5.\n\n"
                               "Search COM5 for converters at every address and baud rate?";

// A window whose COM5 leads to the simulator, with port and baud rate preset by the settings
// file as the user's last run left them, and a Modbus address chosen (index 0: address 1).
std::unique_ptr<TwinMain> WindowOn(const std::string& devicePath, const TSettingsFolder& folder,
                                   int modbusIndex = 0, int baudIndex = BaudIndex) {
    folder.Write("[Settings]\nCom-Port=" + std::to_string(PortIndex) + "\nBaudrate=" +
                 std::to_string(baudIndex) + "\n\n[Ports]\nCOM5=" + devicePath + "\n");
    auto window = std::make_unique<TwinMain>(folder.Path());
    window->cmbModbusAdr->setCurrentIndex(modbusIndex);
    window->show();
    return window;
}

std::string folderlessTemp(const std::string& name) {
    return QDir::tempPath().toStdString() + "/" +
           std::to_string(QCoreApplication::applicationPid()) + "-" + name;
}

TSimOnPtyOptions Device(sim::DeviceOptions device) {
    TSimOnPtyOptions options;
    options.Device = device;
    return options;
}

// The flash the simulator ended with holds, from 0x4000 on, srecord's image of the carried
// firmware (the simulator starts with blank flash).
bool FlashHoldsTheFirmware(const std::string& flashFile) {
    std::ifstream flashIn(flashFile, std::ios::binary);
    const std::string flash{std::istreambuf_iterator<char>(flashIn), {}};
    std::ifstream imageIn(FWL_FIRMWARE_IMAGE, std::ios::binary);
    const std::string image{std::istreambuf_iterator<char>(imageIn), {}};
    std::remove(flashFile.c_str());
    return flash.size() == 0x10000 && image.size() == 0xC000 &&
           flash.compare(0x4000, image.size(), image) == 0;
}

std::string ServiceLogLine(const TSettingsFolder& folder) {
    std::ifstream log(folder.FilePath("firmware-loader-log.jsonl"));
    std::string entry;
    std::getline(log, entry);
    return entry;
}

sim::DeviceOptions WithFault(sim::FaultKind kind, std::uint16_t address = 0) {
    sim::DeviceOptions device;
    device.Defect.Kind = kind;
    device.Defect.Address = address;
    return device;
}

} // namespace

class TMainUpdateTest : public QObject {
    Q_OBJECT

private slots:
    void fullUpdate() {
        TSimOnPty converter;
        TSettingsFolder folder;
        auto window = WindowOn(converter.SlavePath(), folder);
        TwinMain& w = *window;

        TMessageBoxAnswerer answerer;
        w.btnContinue->click();

        QCOMPARE(answerer.Texts, QStringList{});
        QCOMPARE(w.Pages->currentWidget(), w.tsProgress);
        QCOMPARE(w.labActivity->text(), SuccessText);
        QVERIFY(w.ProgressBar1->maximum() > 0);
        QCOMPARE(w.ProgressBar1->value(), w.ProgressBar1->maximum());
        QVERIFY(w.btnExit->isEnabled());
        QVERIFY(!w.btnContinue->isEnabled());
        QVERIFY(w.isVisible());
        QVERIFY(!w.Terminated());

        // The new record is listed in the hidden history: today, user QX, the ID of the empty
        // record before it, the version the converter reports (0x2105).
        QVERIFY(w.InfoList->isHidden());
        QCOMPARE(w.InfoList->topLevelItemCount(), 1);
        const QTreeWidgetItem* row = w.InfoList->topLevelItem(0);
        QCOMPARE(row->text(0), QString("1"));
        QCOMPARE(row->text(1), QString::fromStdString(TodayText()));
        QCOMPARE(row->text(2), QString("QX"));
        QCOMPARE(row->text(3), QString("0-0"));
        QCOMPARE(row->text(4), QString("2.1.5"));

        const sim::Counters counters = converter.Counters();
        QCOMPARE(int(counters.Starts), 1);
        QCOMPARE(int(counters.CommandWrites), 1);
        QCOMPARE(int(counters.LastCommand), 1);
        QCOMPARE(int(converter.RecordCount()), 1);
        QCOMPARE(converter.Mode(), sim::Mode::Application);

        // Exit ends the program; the file keeps port and baud rate.
        w.btnExit->click();
        QVERIFY(w.Terminated());
        w.FormDestroy();
        QVERIFY(folder.Read().find("Com-Port=4\nBaudrate=1\n") != std::string::npos);

        // The attempt is in the service log beside the settings file.
        std::ifstream log(folder.FilePath("firmware-loader-log.jsonl"));
        std::string entry;
        std::getline(log, entry);
        QVERIFY2(entry.find("\"frontend\":\"window\",\"port\":\"COM5\",\"device\":\"" +
                            converter.SlavePath() +
                            "\",\"baud\":19200,\"address\":1,\"mode\":\"normal\",") !=
                     std::string::npos,
                 entry.c_str());
        QVERIFY2(entry.find("\"result\":0,\"message\":\"\",") != std::string::npos, entry.c_str());
        QVERIFY(!std::getline(log, entry));
    }

    void closeBoxDuringTheUpdateLetsItEnd() {
        TSimOnPty converter;
        TSettingsFolder folder;
        auto window = WindowOn(converter.SlavePath(), folder);
        TwinMain& w = *window;

        TMessageBoxAnswerer answerer;
        bool closedWhileRunning = false;
        // Fires at the first pass of the window's message processing inside the update.
        QTimer::singleShot(0, &w, [&] {
            closedWhileRunning = w.Updating();
            w.close();
            QVERIFY(w.isVisible());
        });
        w.btnContinue->click();

        QVERIFY(closedWhileRunning);
        QCOMPARE(answerer.Texts, QStringList{});
        QCOMPARE(w.labActivity->text(), SuccessText);
        QCOMPARE(int(converter.Counters().CommandWrites), 1);
        QVERIFY(!w.isVisible());
        QVERIFY(w.Terminated());
        QVERIFY(w.FConverter && w.FLoader);
    }

    void firstTimeDownloadRecordsTheIdLines() {
        sim::DeviceOptions device;
        device.NewDevice = true;
        TSimOnPty converter(Device(device));
        TSettingsFolder folder;
        auto window = WindowOn(converter.SlavePath(), folder);
        TwinMain& w = *window;
        w.chkInitial->setChecked(true);
        w.txtHID1->setText("123456");
        w.txtHID2->setText("42");

        TMessageBoxAnswerer answerer;
        w.btnContinue->click();

        QCOMPARE(answerer.Texts, QStringList{});
        QCOMPARE(w.labActivity->text(), SuccessText);
        QCOMPARE(int(converter.Counters().Activations), 0);
        QCOMPARE(w.InfoList->topLevelItemCount(), 1);
        // The first line keeps its low 16 bits: 123456 is stored as 57920.
        QCOMPARE(w.InfoList->topLevelItem(0)->text(3), QString("57920-42"));
    }

    void failures_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("version");
        QTest::addColumn<int>("modbusIndex");
        QTest::addColumn<QString>("message");
        const int none = int(sim::FaultKind::None);
        QTest::newRow("F3 old version") << none << 0 << 0 << 0x20FF << 0
                                        << "Firmware update is not possible with this "
                                           "converter version!\nApplication terminated!";
        QTest::newRow("F4 other type") << none << 0 << 5 << 0x2105 << 0
                                       << "Application can't be loaded into this converter "
                                          "type!\nApplication terminated!";
        QTest::newRow("F5 loader not activated")
            << int(sim::FaultKind::ConfirmActivation) << 0 << 0 << 0x2105 << 0
            << "Couldn't activate loader!\nApplication terminated!";
        QTest::newRow("F7 download failed")
            << int(sim::FaultKind::NotBlank) << FirmwareStart << 0 << 0x2105 << 0
            << "Download failed!\nProgram terminated!";
        QTest::newRow("F9 application silent")
            << int(sim::FaultKind::SilentApplication) << 0 << 0 << 0x2105 << 0
            << "Starting Application failed!\nProgram terminated!";
    }
    void failures() {
        QFETCH(int, kind);
        QFETCH(int, address);
        QFETCH(int, type);
        QFETCH(int, version);
        QFETCH(int, modbusIndex);
        QFETCH(QString, message);
        sim::DeviceOptions device = WithFault(sim::FaultKind(kind), std::uint16_t(address));
        device.Type = std::uint16_t(type);
        device.Version = std::uint16_t(version);
        TSimOnPty converter(Device(device));
        TSettingsFolder folder;
        auto window = WindowOn(converter.SlavePath(), folder, modbusIndex);
        TwinMain& w = *window;

        TMessageBoxAnswerer answerer;
        w.btnContinue->click();

        QCOMPARE(answerer.Texts, QStringList{message});
        QVERIFY(w.Terminated());
        QVERIFY(!w.isVisible());
        QVERIFY(!w.btnContinue->isEnabled());
        // The settings are still written when the window goes.
        w.FormDestroy();
        QVERIFY(folder.Read().find("Com-Port=4\n") != std::string::npos);
    }

    // A download broken off leaves the boot loader waiting: Yes finishes the update in it, at
    // the page's baud rate, with the record at the page's address.
    void waitingBootLoaderIsFinishedOnYes() {
        const std::string flashFile = folderlessTemp("window-resume-flash.bin");
        TSimOnPty converter(
            {.Device = {.Address = 1, .Baud = 57600, .InLoader = true, .BlankFlash = true},
             .Line = {.WireTime = true},
             .FlashOut = flashFile});
        TSettingsFolder folder;
        auto window = WindowOn(converter.SlavePath(), folder, 0, BaudIndex57600);
        TwinMain& w = *window;

        TMessageBoxAnswerer answerer({true});
        w.btnContinue->click();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - answerer.LastYes)
                .count();

        QCOMPARE(answerer.Texts, QStringList{LoaderQuestion});
        QCOMPARE(w.labActivity->text(), SuccessText);
        QVERIFY(!w.Terminated());
        qInfo("Yes to \"Firmware loaded successfully!\" at 57600 baud with the line's timing: "
              "%.1f s",
              seconds);
        QCOMPARE(converter.Counters().Activations, 0u);
        QCOMPARE(int(converter.RecordCount()), 1);
        QCOMPARE(w.InfoList->topLevelItemCount(), 1);
        const std::string entry = ServiceLogLine(folder);
        QVERIFY2(entry.find("\"baud\":57600,\"address\":1,\"mode\":\"resume\",") !=
                     std::string::npos,
                 entry.c_str());
        converter.Stop();
        QVERIFY(FlashHoldsTheFirmware(flashFile));
    }

    void waitingBootLoaderLeftOnNoEndsAsBefore() {
        TSimOnPty converter({.Device = {.Address = 1, .InLoader = true}});
        TSettingsFolder folder;
        auto window = WindowOn(converter.SlavePath(), folder);
        TwinMain& w = *window;

        TMessageBoxAnswerer answerer({false});
        w.btnContinue->click();

        QCOMPARE(answerer.Texts, (QStringList{LoaderQuestion, ConnectFailureText}));
        QVERIFY(w.Terminated());
        QCOMPARE(converter.Counters().Erases, 0u);
        QCOMPARE(converter.Mode(), sim::Mode::Loader);
    }

    // Nothing answers at the page's address and speed: No ends as before; Yes searches, and
    // a search that finds nothing ends the same way. The converter listens at 1200 baud,
    // which the window's list lacks.
    void noAnswer_data() {
        QTest::addColumn<bool>("search");
        QTest::newRow("no search") << false;
        QTest::newRow("nothing found") << true;
    }
    void noAnswer() {
        QFETCH(bool, search);
        TSimOnPty converter({.Device = {.Baud = 1200}});
        TSettingsFolder folder;
        auto window = WindowOn(converter.SlavePath(), folder);
        TwinMain& w = *window;

        TMessageBoxAnswerer answerer({search});
        w.btnContinue->click();

        QCOMPARE(answerer.Texts, (QStringList{SearchQuestion, ConnectFailureText}));
        QVERIFY(w.Terminated());
        QVERIFY(!w.isVisible());
        if (search) {
            QCOMPARE(w.ProgressBar1->value(), w.ProgressBar1->maximum());
            QCOMPARE(w.ProgressBar1->maximum(), 4 * 256);
        }
        const sim::Counters counters = converter.Counters();
        QCOMPARE(counters.ApplicationReplies + counters.LoaderReplies, 0u);
        QVERIFY(counters.WrongSpeedBytes > 0);
    }

    // The close box during a search stops it at its next read and ends the program without
    // another box.
    void closeBoxStopsTheSearch() {
        TSimOnPty converter({.Device = {.Baud = 1200}});
        TSettingsFolder folder;
        auto window = WindowOn(converter.SlavePath(), folder);
        TwinMain& w = *window;

        TMessageBoxAnswerer answerer({true});
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&] {
            if (w.labActivity->text() == "Searching COM5: 19200 baud, address 5...") {
                closer.stop();
                w.close();
            }
        });
        closer.start(1);
        w.btnContinue->click();

        QCOMPARE(answerer.Texts, QStringList{SearchQuestion});
        QVERIFY(w.Terminated());
        QVERIFY(!w.isVisible());
        QVERIFY2(w.ProgressBar1->value() <= 7,
                 qPrintable(QString::number(w.ProgressBar1->value())));
    }

    // The search finds the converter at another address and speed; No to updating it there
    // leaves the choice on the communication page, and Continue updates it.
    void searchFindsTheConverterAndLeavesItChosen() {
        TSimOnPty converter({.Device = {.Address = 57, .Baud = 38400}});
        TSettingsFolder folder;
        auto window = WindowOn(converter.SlavePath(), folder);
        TwinMain& w = *window;

        TMessageBoxAnswerer answerer({true, false});
        w.btnContinue->click();

        QCOMPARE(answerer.Texts,
                 (QStringList{SearchQuestion, "Found a converter at address 57 with 38400 baud "
                                              "(type 0, subtype 0, version 2.1.5).\n\n"
                                              "Update it now?"}));
        QVERIFY(!w.Terminated());
        QCOMPARE(w.Pages->currentWidget(), w.tsComm);
        QCOMPARE(w.cmbModbusAdr->currentText(), QString("57"));
        QCOMPARE(w.cmbBaudrate->currentText(), QString("38400"));
        QVERIFY(w.btnContinue->isEnabled() && w.btnExit->isEnabled());
        QCOMPARE(converter.Counters().Activations, 0u);

        w.btnContinue->click();
        QCOMPARE(answerer.Texts.size(), 2);
        QCOMPARE(w.labActivity->text(), SuccessText);
        QCOMPARE(int(converter.RecordCount()), 1);
        w.btnExit->click();
        w.FormDestroy();
        QVERIFY(folder.Read().find("Com-Port=4\nBaudrate=2\n") != std::string::npos);
    }

    // The search finds two converters and a meter; Yes updates both in turn on the progress
    // page, each named there with its own record and log line, and one box tells how each
    // ended. The meter is never written to.
    void severalFoundAreUpdatedOneAfterAnotherOnYes() {
        TSimOnPty line({.Bus = {{.Address = 5, .Baud = 38400},
                                {.Address = 9, .Baud = 38400},
                                {.Address = 11, .Baud = 38400, .Foreign = true}}});
        TSettingsFolder folder;
        auto window = WindowOn(line.SlavePath(), folder);
        TwinMain& w = *window;

        QStringList activities;
        QTimer watcher;
        QObject::connect(&watcher, &QTimer::timeout, [&] {
            if (activities.isEmpty() || activities.back() != w.labActivity->text()) {
                activities << w.labActivity->text();
            }
        });
        watcher.start(1);
        TMessageBoxAnswerer answerer({true, true});
        w.btnContinue->click();

        QCOMPARE(answerer.Texts.size(), 3);
        QCOMPARE(answerer.Texts[1],
                 QString("Found on COM5:\n"
                         "Address 5 with 38400 baud (type 0, subtype 0, version 2.1.5)\n"
                         "Address 9 with 38400 baud (type 0, subtype 0, version 2.1.5)\n"
                         "Address 11 with 38400 baud: a Modbus device that is not a converter "
                         "(exception 2: illegal data address)\n\n"
                         "Update all 2 converters now, one after another?"));
        QVERIFY2(answerer.Texts[2].startsWith("Converters on COM5:\nAddress 5: 2.1.5 -> 2.1.5, "
                                              "Firmware loaded successfully! ("),
                 qPrintable(answerer.Texts[2]));
        QVERIFY(answerer.Texts[2].endsWith("\n\n2 of 2 converters updated."));
        QVERIFY2(activities.contains("Converter 2 of 2, address 9: Loading Firmware..."),
                 qPrintable(activities.join(" | ")));
        QCOMPARE(w.labActivity->text(), SuccessText);
        QVERIFY(w.btnExit->isEnabled());
        QVERIFY(!w.Terminated());
        QCOMPARE(int(line.RecordCount(0)), 1);
        QCOMPARE(int(line.RecordCount(1)), 1);
        const sim::Counters meter = line.Counters(2);
        QCOMPARE(meter.Activations + meter.RecordWrites + meter.CommandWrites, 0u);

        std::ifstream log(folder.FilePath("firmware-loader-log.jsonl"));
        std::vector<std::string> entries;
        for (std::string entry; std::getline(log, entry);) {
            entries.push_back(entry);
        }
        QCOMPARE(entries.size(), std::size_t{2});
        QVERIFY2(entries[1].find("\"baud\":38400,\"address\":9,\"mode\":\"normal\",") !=
                     std::string::npos,
                 entries[1].c_str());
        w.btnExit->click();
        QVERIFY(w.Terminated());
    }

    // Another converter's boot loader waits on the line: the converter that answers is not
    // activated, and the page is back for the user to choose the one to finish.
    void secondBootLoaderIsRefused() {
        TSimOnPty line({.Bus = {{.Address = 1}, {.Address = 4, .InLoader = true}}});
        TSettingsFolder folder;
        auto window = WindowOn(line.SlavePath(), folder);
        TwinMain& w = *window;

        TMessageBoxAnswerer answerer;
        w.btnContinue->click();

        QCOMPARE(answerer.Texts,
                 QStringList{"A converter's boot loader is already waiting on COM5 (its update "
                             "was broken off).\n\nStarting a second one would leave both "
                             "unusable. Choose the address of the converter that no longer "
                             "answers and continue to finish it first."});
        QVERIFY(!w.Terminated());
        QCOMPARE(w.Pages->currentWidget(), w.tsComm);
        QVERIFY(w.btnContinue->isEnabled() && w.btnExit->isEnabled());
        QCOMPARE(line.Counters(0).Activations, 0u);
        QCOMPARE(line.Counters(1).Collisions, 0u);
        QVERIFY(ServiceLogLine(folder).find("\"result\":23,") != std::string::npos);
    }

    void portThatCannotBeOpened() {
        TSettingsFolder folder;
        auto window = WindowOn(folder.FilePath("no-such-device"), folder);
        TwinMain& w = *window;
        w.chkInitial->setChecked(true); // straight to the boot loader

        TMessageBoxAnswerer answerer;
        w.btnContinue->click();

        QCOMPARE(answerer.Texts, QStringList{"Couldn't open COM5!\nProgram terminated!"});
        QVERIFY(w.Terminated());
    }
};

FWL_WINDOW_TEST_MAIN(TMainUpdateTest)

#include "MainUpdateTest.moc"
