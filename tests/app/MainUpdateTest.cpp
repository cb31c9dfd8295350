// The whole update through the window, against the simulated converter on a pseudo-terminal.

#include "tests/app/WindowTestSupport.h"
#include "tests/support/SimOnPty.h"
#include "tests/support/TodayText.h"

namespace {

constexpr int PortIndex = 4;          // COM5
constexpr int BaudIndex = 1;          // 19200, the simulator's speed
constexpr int FirmwareStart = 0x5000; // first word of the carried firmware

const QString SuccessText = "Firmware loaded successfully!";

// A window whose COM5 leads to the simulator, with port and baud rate preset by the settings
// file as the user's last run left them, and a Modbus address chosen (index 0: address 1).
std::unique_ptr<TwinMain> WindowOn(const std::string& devicePath, const TSettingsFolder& folder,
                                   int modbusIndex = 0) {
    folder.Write("[Settings]\nCom-Port=" + std::to_string(PortIndex) + "\nBaudrate=" +
                 std::to_string(BaudIndex) + "\n\n[Ports]\nCOM5=" + devicePath + "\n");
    auto window = std::make_unique<TwinMain>(folder.Path());
    window->cmbModbusAdr->setCurrentIndex(modbusIndex);
    window->show();
    return window;
}

TSimOnPtyOptions Device(sim::DeviceOptions device) {
    TSimOnPtyOptions options;
    options.Device = device;
    return options;
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
        QTest::newRow("F2 no answer") << none << 0 << 0 << 0x2105 << 1
                                      << "Couldn't connect to converter via COM5!\n"
                                         "Program terminated!";
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
