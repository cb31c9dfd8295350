// The window as it opens, its page checks and the standard exception display.

#include "tests/app/WindowTestSupport.h"

#include <stdexcept>

namespace {

// Answers Continue's message boxes and returns what they said.
QStringList ContinueAnswered(TwinMain& window) {
    TMessageBoxAnswerer answerer;
    window.btnContinue->click();
    return answerer.Texts;
}

// Throws from its event handler, as a faulty handler of the program would.
class TThrowingObject : public QObject {
public:
    bool event(QEvent* event) override {
        if (event->type() == QEvent::User) {
            throw std::out_of_range("TConverter: Index out of Range!");
        }
        if (event->type() == QEvent::User + 1) {
            throw 42; // not an exception class at all
        }
        return QObject::event(event);
    }
};

} // namespace

class TMainPagesTest : public QObject {
    Q_OBJECT

private slots:
    void init() { Window = std::make_unique<TwinMain>(Settings.Path()); }
    void cleanup() { Window.reset(); }

    void opensOnTheCommunicationPage() {
        TwinMain& w = *Window;
        QCOMPARE(w.windowTitle(), QString("Firmware Loader"));
        QCOMPARE(w.size(), QSize(353, 225));
        QCOMPARE(w.minimumSize(), w.maximumSize());
        QCOMPARE(w.Pages->currentWidget(), w.tsComm);
        QCOMPARE(w.Pages->indexOf(w.tsKova), 0);
        QCOMPARE(w.Pages->indexOf(w.tsComm), 1);
        QCOMPARE(w.Pages->indexOf(w.tsProgress), 2);
        QCOMPARE(w.Pages->geometry(), QRect(8, 8, 337, 177));
        QVERIFY(w.btnContinue->isEnabled());
        QVERIFY(w.btnExit->isEnabled());
        QCOMPARE(w.btnContinue->text(), QString("&Continue"));
        QCOMPARE(w.btnExit->text(), QString("&Exit"));
        QCOMPARE(w.btnContinue->geometry(), QRect(128, 192, 105, 25));
        QCOMPARE(w.btnExit->geometry(), QRect(240, 192, 105, 25));
        QCOMPARE(w.pnlKova->text(), QString("KOVA internal settings"));
        QCOMPARE(w.pnlComm->text(), QString("Communication settings"));
        QCOMPARE(w.pnlProgress->text(), QString("Progress information"));
        QCOMPARE(w.pnlComm->height(), 33);
        QVERIFY(w.pnlComm->font().bold());
        QCOMPARE(w.pnlComm->font().pointSize(), 10);
        QCOMPARE(w.ProgressBar1->geometry(), QRect(8, 64, 313, 25));
        QCOMPARE(w.InfoList->geometry(), QRect(8, 96, 313, 65));
    }

    void listsAndStartValues() {
        TwinMain& w = *Window;
        QCOMPARE(w.cmbComPort->count(), 255);
        QCOMPARE(w.cmbComPort->itemText(0), QString("COM1"));
        QCOMPARE(w.cmbComPort->itemText(254), QString("COM255"));
        QCOMPARE(w.cmbComPort->currentIndex(), -1);
        QStringList rates;
        for (int i = 0; i < w.cmbBaudrate->count(); ++i) {
            rates << w.cmbBaudrate->itemText(i);
        }
        QCOMPARE(rates, QStringList({"9600", "19200", "38400", "57600"}));
        QCOMPARE(w.cmbBaudrate->currentIndex(), -1);
        QCOMPARE(w.cmbModbusAdr->count(), 255);
        QCOMPARE(w.cmbModbusAdr->itemText(0), QString("1"));
        QCOMPARE(w.cmbModbusAdr->itemText(254), QString("255"));
        QCOMPARE(w.cmbModbusAdr->currentIndex(), -1);
        QVERIFY(w.cmbModbusAdr->isEnabled());

        QCOMPARE(w.cmbProcessor->count(), 2);
        QCOMPARE(w.cmbProcessor->itemText(0), QString("MSP430F1611"));
        QCOMPARE(w.cmbProcessor->itemText(1), QString("MSP430F133"));
        QCOMPARE(w.cmbProcessor->currentIndex(), 0);
        QVERIFY(!w.cmbProcessor->isEditable());
        QCOMPARE(w.txtUser->text(), QString("QX"));
        QVERIFY(!w.chkInitial->isChecked());
        QVERIFY(!w.txtHID1->isEnabled());
        QVERIFY(!w.txtHID2->isEnabled());

        QVERIFY(w.InfoList->isHidden());
        QCOMPARE(w.InfoList->columnCount(), 5);
        const int widths[] = {30, 70, 50, 60, 60};
        const char* titles[] = {"Nr", "Date", "User", "ID", "Version"};
        for (int c = 0; c < 5; ++c) {
            QCOMPARE(w.InfoList->headerItem()->text(c), QString(titles[c]));
            QCOMPARE(w.InfoList->columnWidth(c), widths[c]);
        }
    }

    void deviceObjectsHaveTheFixedLineFormat() {
        for (const TSerialPort* port : {static_cast<TSerialPort*>(Window->FConverter.get()),
                                        static_cast<TSerialPort*>(Window->FLoader.get())}) {
            QCOMPARE(port->GetDataBits(), 8);
            QCOMPARE(port->GetStopBits(), 1);
            QCOMPARE(int(port->GetParity()), 0);
            QCOMPARE(int(port->GetFlowControl()), 0);
        }
    }

    void communicationChecksInOrder() {
        TwinMain& w = *Window;
        QCOMPARE(ContinueAnswered(w), QStringList{"Please choose a Com Port!"});
        QCOMPARE(w.Pages->currentWidget(), w.tsComm);
        w.cmbComPort->setCurrentIndex(2);
        QCOMPARE(ContinueAnswered(w), QStringList{"Please choose a baudrate!"});
        w.cmbBaudrate->setCurrentIndex(1);
        QCOMPARE(ContinueAnswered(w), QStringList{"Please choose a Modbus address!"});
        QCOMPARE(w.Pages->currentWidget(), w.tsComm);
        // A refused change leaves the entries as they were.
        QCOMPARE(w.cmbComPort->currentText(), QString("COM3"));
        QCOMPARE(w.cmbBaudrate->currentText(), QString("19200"));
        QVERIFY(w.btnContinue->isEnabled());
    }

    void deviceChecksInOrder() {
        TwinMain& w = *Window;
        w.Pages->setCurrentWidget(w.tsKova);
        w.cmbProcessor->setCurrentIndex(-1);
        w.txtUser->clear();
        w.chkInitial->setChecked(true);
        QCOMPARE(ContinueAnswered(w), QStringList{"Please choose a Processor!"});
        w.cmbProcessor->setCurrentIndex(1);
        QCOMPARE(ContinueAnswered(w), QStringList{"Please enter a valid user!"});
        w.txtUser->setText("  "); // the empty state of the original field
        QCOMPARE(ContinueAnswered(w), QStringList{"Please enter a valid user!"});
        w.txtUser->setText("Q ");
        QCOMPARE(ContinueAnswered(w), QStringList{"Please enter a valid user!"});
        w.txtUser->setText("AB");
        w.txtHID1->setText("123");
        QCOMPARE(ContinueAnswered(w),
                 QStringList{"Please enter the 1. line of the Print Talvex ID!"});
        w.txtHID1->setText("1234");
        QCOMPARE(ContinueAnswered(w),
                 QStringList{"Please enter the 2. line of the Print Talvex ID!"});
        QCOMPARE(w.Pages->currentWidget(), w.tsKova);

        // Passing goes to the communication page, where no address is needed now.
        w.txtHID2->setText("7");
        QCOMPARE(ContinueAnswered(w), QStringList{});
        QCOMPARE(w.Pages->currentWidget(), w.tsComm);
        QVERIFY(!w.cmbModbusAdr->isEnabled());
    }

    void deviceChecksIgnoreIdsWithoutFirstTimeDownload() {
        TwinMain& w = *Window;
        w.Pages->setCurrentWidget(w.tsKova);
        QCOMPARE(ContinueAnswered(w), QStringList{});
        QCOMPARE(w.Pages->currentWidget(), w.tsComm);
        QVERIFY(w.cmbModbusAdr->isEnabled());
    }

    void firstTimeDownloadSwitchesTheIdFields() {
        TwinMain& w = *Window;
        w.chkInitial->click();
        QVERIFY(w.txtHID1->isEnabled());
        QVERIFY(w.txtHID2->isEnabled());
        w.chkInitial->click();
        QVERIFY(!w.txtHID1->isEnabled());
        QVERIFY(!w.txtHID2->isEnabled());
    }

    void fieldsTakeWhatTheirMasksTake() {
        TwinMain& w = *Window;
        w.chkInitial->setChecked(true);
        w.txtUser->clear();
        QTest::keyClicks(w.txtUser, "ab3");
        QCOMPARE(w.txtUser->text(), QString("AB"));
        w.txtUser->clear();
        QTest::keyClicks(w.txtUser, "q ");
        QCOMPARE(w.txtUser->text(), QString("Q "));
        QTest::keyClicks(w.txtHID1, "12a3456789");
        QCOMPARE(w.txtHID1->text(), QString("123456"));
        QTest::keyClicks(w.txtHID2, "9876-54321x0");
        QCOMPARE(w.txtHID2->text(), QString("98765432"));
    }

    void exitAndEscape() {
        TwinMain& w = *Window;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTest::keyClick(&w, Qt::Key_Escape);
        QVERIFY(w.isVisible());
        QVERIFY(!w.Terminated());
        w.btnExit->click();
        QVERIFY(!w.isVisible());
        QVERIFY(w.Terminated());
    }

    void exceptionFromAHandlerIsShownAndTheProgramGoesOn() {
        TThrowingObject faulty;
        TMessageBoxAnswerer answerer;
        QEvent first(QEvent::User);
        QCoreApplication::sendEvent(&faulty, &first);
        QEvent second(static_cast<QEvent::Type>(QEvent::User + 1));
        QCoreApplication::sendEvent(&faulty, &second);
        // The window still works.
        Window->btnContinue->click();
        QCOMPARE(answerer.Texts,
                 QStringList({"TConverter: Index out of Range!", "", "Please choose a Com Port!"}));
        QCOMPARE(answerer.Icons.value(0), QMessageBox::Critical);
    }

private:
    TSettingsFolder Settings;
    std::unique_ptr<TwinMain> Window;
};

FWL_WINDOW_TEST_MAIN(TMainPagesTest)

#include "MainPagesTest.moc"
