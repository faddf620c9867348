#pragma once
// Form1: Quillprint's one window. Layout, captions, hints and fonts are fixed.
// The clock connection (the port ComPort1, the frame receiver, a lost line)
// is a TConnection; the window shows what it says.

#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "app/connection.h"
#include "printout/sheet.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QMessageBox;
class QPushButton;
class QTimer;

namespace printout {
class SheetGrid;
}

namespace app {

class TShape;
class TImage;
class TForm1 : public QWidget, private TConnectionView {
    Q_OBJECT
    // First: ComPort1 below is the connection's.
    printout::PrintoutSheet sheet_;
    std::unique_ptr<TConnection> connection_;

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
    serial::TComPort& ComPort1;

    printout::PrintoutSheet& Sheet() { return sheet_; }
    const clocklink::FrameReceiver& Receiver() const { return connection_->Receiver(); }
    clocklink::FrameReceiver& Receiver() { return connection_->Receiver(); }
    // The line hung up and the window waits for its port to come back.
    bool LineLost() const { return connection_->LineLost(); }

    // Whether the sheet may end now (a new sheet, Exit): asked before each
    // way the user ends it; without a check, always.
    void SetSheetEndCheck(std::function<bool()> check) { sheetEndCheck_ = std::move(check); }
    bool SheetMayEnd();
    // The printout file is written again after a failure: said for a while
    // in the connection's label, without a box.
    void ShowPrintoutKept();

    // Handlers.
    void FormCreate();
    void ComboBox1Change();
    void BitBtn1Click();
    void Button1Click();
    void BitBtn2Click();
    void BitBtn3Click();
    void BitBtn4Click();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildLayout();
    void FillPortChooser();
    void RefreshPortChooser();
    QString ChooserText() const;
    std::vector<std::string> ChooserEntries() const;
    template <class Fn>
    void Guarded(Fn&& fn);

    // TConnectionView
    void ShowConnection(const TConnectionShown& shown) override;
    void ShowLamp(clocklink::LampColor color) override;
    void ShowPortError(const QString& message, bool lineLost, const QString& hint) override;
    void LineBack() override;
    void Place(QWidget* widget, int left, int top, int width, int height, Qt::Edges anchors);

    struct Anchored {
        QWidget* widget;
        QRect design;
        Qt::Edges anchors;
    };
    std::vector<Anchored> anchored_;
    QPointer<QMessageBox> lineLostBox_; // open while the line is waited for
    std::function<bool()> sheetEndCheck_;
    TConnectionShown shown_;            // as shown last
    QTimer* keptNote_ = nullptr;        // runs while the label says the file is kept
};

} // namespace app
