#pragma once
// Form1: Quillprint's one window. Layout, captions, hints and fonts are fixed;
// the port ComPort1 is bound to the frame receiver.

#include <QWidget>
#include <memory>
#include <vector>

#include "clocklink/port_ops.h"
#include "clocklink/receiver.h"
#include "printout/sheet.h"
#include "serial/comport.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;

namespace printout {
class SheetGrid;
}

namespace app {

class TShape;
class TImage;
class TLineWatch;

class TForm1 : public QWidget {
    Q_OBJECT
public:
    // Design size of the client area; positions are given against it.
    static constexpr int kClientWidth = 742;
    static constexpr int kClientHeight = 589;

    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Components, named as on the layout.
    TImage* Image1 = nullptr;
    TShape* Shape2 = nullptr;
    TShape* Shape1 = nullptr;
    printout::SheetGrid* StringGrid1 = nullptr;
    QPushButton* BitBtn2 = nullptr; // Print
    QPushButton* BitBtn3 = nullptr; // Exit
    QPushButton* BitBtn4 = nullptr; // Clear Screen
    QGroupBox* GroupBox1 = nullptr;
    QLabel* lbl_k7_on_comport = nullptr;
    QPushButton* Button1 = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QLabel* lbl_p3_connected = nullptr;
    QPushButton* BitBtn1 = nullptr;
    QComboBox* ComboBox1 = nullptr;
    serial::TComPort ComPort1;

    printout::PrintoutSheet& Sheet() { return sheet_; }
    const clocklink::FrameReceiver& Receiver() const { return receiver_; }
    clocklink::FrameReceiver& Receiver() { return receiver_; }
    // The line hung up and the window waits for its port to come back.
    bool LineLost() const { return lineLost_; }

    // Handlers.
    void FormCreate();
    void ComboBox1Change();
    void BitBtn1Click();
    void Button1Click();
    void BitBtn2Click();
    void BitBtn3Click();
    void BitBtn4Click();
    void ComPort1RxChar(serial::TComPort& sender, int count);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildLayout();
    void SetUpComPort();
    void FillPortChooser();
    void RefreshPortChooser();
    QString ChooserText() const;
    std::vector<std::string> ChooserEntries() const;
    void ComPort1MonitorEnded(const std::string& message);
    void LoseLine();
    void TryReopen();
    void StopWaiting();
    void Place(QWidget* widget, int left, int top, int width, int height, Qt::Edges anchors);

    struct Anchored {
        QWidget* widget;
        QRect design;
        Qt::Edges anchors;
    };
    std::vector<Anchored> anchored_;

    printout::PrintoutSheet sheet_;
    clocklink::PortOpsOf<serial::TComPort> portOps_{ComPort1};
    clocklink::FrameReceiver receiver_;

    // A pulled cable: the port is closed, the window stays connected.
    bool lineLost_ = false;
    TLineWatch* lineWatch_ = nullptr;
    QString p3Label_, k7Label_; // the labels to restore
};

} // namespace app
