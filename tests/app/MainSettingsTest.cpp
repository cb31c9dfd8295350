// The settings file as the window reads and writes it, and the end of the program.

#include "link/Serialport.h"
#include "tests/app/WindowTestSupport.h"

#include <csignal>
#include <functional>

namespace {

TwinMain* OpenWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<TwinMain*>(widget); window && window->isVisible()) {
            return window;
        }
    }
    return nullptr;
}

// Runs the program's message loop on the given settings file; once the window is up,
// the action ends it as a user would.
int RunProgram(const std::string& settingsFile, std::function<void(TwinMain&)> action) {
    QTimer::singleShot(0, [action] {
        TwinMain* window = OpenWindow();
        QVERIFY(window != nullptr);
        action(*window);
    });
    return static_cast<TApplication*>(QCoreApplication::instance())->Run(settingsFile);
}

} // namespace

class TMainSettingsTest : public QObject {
    Q_OBJECT

private slots:
    void withoutFileNothingIsSelectedAndTheFileIsCreated() {
        TSettingsFolder folder;
        TwinMain window(folder.Path());
        QCOMPARE(window.cmbComPort->currentIndex(), -1);
        QCOMPARE(window.cmbBaudrate->currentIndex(), -1);
        window.FormDestroy();
        QCOMPARE(folder.Read(), std::string("[Settings]\n"
                                            "Processor=0\n"
                                            "User=QX\n"
                                            "Initial=0\n"
                                            "Com-Port=-1\n"
                                            "Baudrate=-1\n"));
    }

    void newFileAfterARunOnCom3At38400() {
        TSettingsFolder folder;
        TwinMain window(folder.Path());
        window.cmbComPort->setCurrentText("COM3");
        window.cmbBaudrate->setCurrentText("38400");
        window.cmbModbusAdr->setCurrentText("7"); // never stored
        window.FormDestroy();
        QCOMPARE(folder.Read(), std::string("[Settings]\n"
                                            "Processor=0\n"
                                            "User=QX\n"
                                            "Initial=0\n"
                                            "Com-Port=2\n"
                                            "Baudrate=2\n"));
    }

    void portAndBaudrateAreRestored() {
        TSettingsFolder folder;
        folder.Write("[Settings]\nCom-Port=0\nBaudrate=1\n");
        TwinMain window(folder.Path());
        QCOMPARE(window.cmbComPort->currentText(), QString("COM1"));
        QCOMPARE(window.cmbBaudrate->currentText(), QString("19200"));
        QCOMPARE(window.cmbModbusAdr->currentIndex(), -1);
    }

    void deviceValuesHaveNoLastingEffect() {
        TSettingsFolder folder;
        folder.Write("[Settings]\nProcessor=1\nUser=AB\nInitial=1\nCom-Port=4\nBaudrate=3\n");
        TwinMain window(folder.Path());
        QCOMPARE(window.cmbProcessor->currentIndex(), 0);
        QCOMPARE(window.txtUser->text(), QString("QX"));
        QVERIFY(!window.chkInitial->isChecked());
        QVERIFY(!window.txtHID1->isEnabled());
        QVERIFY(window.cmbModbusAdr->isEnabled());
        window.FormDestroy();
        QCOMPARE(folder.Read(), std::string("[Settings]\n"
                                            "Processor=0\n"
                                            "User=QX\n"
                                            "Initial=0\n"
                                            "Com-Port=4\n"
                                            "Baudrate=3\n"));
    }

    void valuesThatSelectNothing_data() {
        QTest::addColumn<QString>("file");
        QTest::newRow("not a number") << "[Settings]\nCom-Port=abc\nBaudrate=abc\n";
        QTest::newRow("outside the lists") << "[Settings]\nCom-Port=300\nBaudrate=7\n";
        QTest::newRow("negative") << "[Settings]\nCom-Port=-1\nBaudrate=-5\n";
    }
    void valuesThatSelectNothing() {
        QFETCH(QString, file);
        TSettingsFolder folder;
        folder.Write(file.toStdString());
        TwinMain window(folder.Path());
        QCOMPARE(window.cmbComPort->currentIndex(), -1);
        QCOMPARE(window.cmbBaudrate->currentIndex(), -1);
        TMessageBoxAnswerer answerer;
        window.btnContinue->click();
        QCOMPARE(answerer.Texts, QStringList{"Please choose a Com Port!"});
    }

    void hexadecimalValues_data() {
        QTest::addColumn<QString>("file");
        QTest::newRow("dollar") << "[Settings]\nCom-Port=$1F\nBaudrate=$3\n";
        QTest::newRow("0x") << "[Settings]\nCom-Port=0x1F\nBaudrate=0X3\n";
        QTest::newRow("x, blanks, case") << "[SETTINGS]\ncom-port=  x1f\nBAUDRATE=X3\n";
    }
    void hexadecimalValues() {
        QFETCH(QString, file);
        TSettingsFolder folder;
        folder.Write(file.toStdString());
        TwinMain window(folder.Path());
        QCOMPARE(window.cmbComPort->currentText(), QString("COM32"));
        QCOMPARE(window.cmbBaudrate->currentText(), QString("57600"));
    }

    void otherSectionsAndKeysAreKeptAndPortsAreMapped() {
        TSettingsFolder folder;
        folder.Write("[Ports]\nCOM3=/dev/pts/99\n\n"
                     "[Settings]\nCom-Port=2\nTheme=dark\n\n"
                     "[Notes]\nfirst=1\nsecond=2\n");
        TwinMain window(folder.Path());
        QCOMPARE(QString::fromStdString(DevicePathOf("COM3")), QString("/dev/pts/99"));
        window.FormDestroy();
        const QString text = QString::fromStdString(folder.Read());
        const QStringList lines = text.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines, QStringList({"[Ports]", "COM3=/dev/pts/99", "[Settings]", "Com-Port=2",
                                     "Theme=dark", "Processor=0", "User=QX", "Initial=0",
                                     "Baudrate=-1", "[Notes]", "first=1", "second=2"}));
        ClearPortMap();
    }

    void closeBoxEndsTheProgramAndWritesTheFile() {
        TSettingsFolder folder;
        TMessageBoxAnswerer answerer;
        const int result = RunProgram(folder.Path(), [](TwinMain& window) {
            window.cmbBaudrate->setCurrentIndex(3);
            window.close();
        });
        QCOMPARE(result, 0);
        QCOMPARE(answerer.Texts, QStringList{});
        QVERIFY(folder.Read().find("Baudrate=3\n") != std::string::npos);
    }

    // A logout or a service manager ends the program as the close box does: the file is kept.
    void terminationSignalClosesLikeTheCloseBox() {
        TSettingsFolder folder;
        TMessageBoxAnswerer answerer;
        const int result = RunProgram(folder.Path(), [](TwinMain& window) {
            window.cmbComPort->setCurrentIndex(6);
            ::raise(SIGTERM);
        });
        QCOMPARE(result, 0);
        QCOMPARE(answerer.Texts, QStringList{});
        QVERIFY(folder.Read().find("Com-Port=6\n") != std::string::npos);
    }

    void unwritableFolderGoesToTheExceptionDisplay() {
        TSettingsFolder folder;
        const std::string path = folder.FilePath("missing/firmware-loader.ini");
        TMessageBoxAnswerer answerer;
        const int result = RunProgram(path, [](TwinMain& window) { window.btnExit->click(); });
        QCOMPARE(result, 0);
        QCOMPARE(answerer.Texts.size(), 1);
        QVERIFY2(answerer.Texts[0].contains(QString::fromStdString(path)),
                 qPrintable(answerer.Texts[0]));
        QCOMPARE(answerer.Icons[0], QMessageBox::Critical);
    }
};

FWL_WINDOW_TEST_MAIN(TMainSettingsTest)

#include "MainSettingsTest.moc"
