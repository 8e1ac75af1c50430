#include "core/HexDump.h"
#include "core/TerminalBuffer.h"
#include "core/TerminalFind.h"
#include "desktop/FindBar.h"
#include "desktop/PreferencesDialog.h"
#include "desktop/TerminalView.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QtTest>

namespace {

// The buffer's lines as one list, for comparing in one go.
QList<QByteArray> LinesOf(const TerminalBuffer &buffer)
{
    QList<QByteArray> lines;
    for (qsizetype i = 0; i < buffer.LineCount(); ++i)
        lines.append(buffer.Line(i).toByteArray());
    return lines;
}

// Feeds `text` in pieces of `piece` bytes, the last one shorter.
void AppendInPieces(TerminalBuffer &buffer, const QByteArray &text, qsizetype piece)
{
    for (qsizetype at = 0; at < text.size(); at += piece)
        buffer.Append(QByteArrayView(text).sliced(at, std::min(piece, text.size() - at)));
}

// Just right of the boundary before `column`: a press here lands between
// column - 1 and column.
QPoint Boundary(const TerminalView &view, qsizetype line, qsizetype column)
{
    const QPoint corner = view.CellPosition(line, column);
    return QPoint(corner.x() + 1, (corner.y() + view.CellPosition(line + 1, column).y()) / 2);
}

// A point `column` cells into the line, fractions allowed.
QPoint At(const TerminalView &view, qsizetype line, double column)
{
    const QPoint start = view.CellPosition(line, 0);
    const double width = (view.CellPosition(line, 100).x() - start.x()) / 100.0;
    const int y = (start.y() + view.CellPosition(line + 1, 0).y()) / 2;
    return QPoint(start.x() + int(std::lround(column * width)), y);
}

QPoint CellCentre(const TerminalView &view, qsizetype line, qsizetype column)
{
    const QPoint corner = view.CellPosition(line, column);
    const QPoint next = view.CellPosition(line + 1, column + 1);
    return QPoint((corner.x() + next.x()) / 2, (corner.y() + next.y()) / 2);
}

// A window that notes the keys that reach it.
class KeyWatcher : public QWidget {
public:
    QList<int> keys;

protected:
    void keyPressEvent(QKeyEvent *event) override { keys.append(event->key()); }
};

} // namespace

class TestTerminal : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void hexViewOfPiecesSplitMidLine_data();
    void hexViewOfPiecesSplitMidLine();
    void bufferLines_data();
    void bufferLines();
    void bufferClear();
    void maxLineColumns_data();
    void maxLineColumns();
    void lineLimitDropsOldest_data();
    void lineLimitDropsOldest();
    void lineLimitChangedAndWidestDropped();
    void viewAfterDrops();
    void viewLinesAndText();
    void viewFollowsEnd();
    void selectAllAndCopy();
    void mouseDragSelects();
    void shiftClickExtendsAndDoubleClickSelectsWord();
    void selectionSurvivesAppendAndClearDropsIt();
    void dragKeepsViewStill();
    void keysPropagate_data();
    void keysPropagate();
    void findWhileLinesDropped_data();
    void findWhileLinesDropped();
    void ruleMatchesAcrossPieces_data();
    void ruleMatchesAcrossPieces();
    void copyWithAndWithoutStamps();
    void findKeepsViewWhileTextArrives();
    void findBarSaysWhatItFound_data();
    void findBarSaysWhatItFound();
    void preferencesKeys_data();
    void preferencesKeys();
};

void TestTerminal::bufferLines_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QList<QByteArray>>("lines");

    const QList<QByteArray> empty{QByteArray()};
    QTest::newRow("empty") << QByteArray() << empty;
    QTest::newRow("no break") << QByteArray("abc") << QList<QByteArray>{"abc"};
    QTest::newRow("lone LF") << QByteArray("ab\ncd") << QList<QByteArray>{"ab", "cd"};
    QTest::newRow("CR LF") << QByteArray("ab\r\ncd") << QList<QByteArray>{"ab", "cd"};
    QTest::newRow("lone CR dropped") << QByteArray("ab\rcd") << QList<QByteArray>{"abcd"};
    QTest::newRow("trailing newline")
        << QByteArray("ab\r\n") << QList<QByteArray>{"ab", QByteArray()};
    QTest::newRow("only newlines")
        << QByteArray("\n\r\n\n") << QList<QByteArray>{"", "", "", ""};
    QTest::newRow("CR CR LF") << QByteArray("a\r\r\nb") << QList<QByteArray>{"a", "b"};
    QTest::newRow("bytes kept")
        << QByteArray("\t#\xE9\x00z>", 6) << QList<QByteArray>{QByteArray("\t#\xE9\x00z>", 6)};
    QTest::newRow("device answer")
        << QByteArray("mode\r\nMode: 3 (stream)\r\n# connected\r\n>")
        << QList<QByteArray>{"mode", "Mode: 3 (stream)", "# connected", ">"};
}

void TestTerminal::bufferLines()
{
    QFETCH(QByteArray, text);
    QFETCH(QList<QByteArray>, lines);

    // However the text is cut into pieces, CR LF split across pieces included,
    // the lines come out the same.
    for (qsizetype piece : {qsizetype(1), qsizetype(2), qsizetype(3), qsizetype(7),
                            qsizetype(text.size() + 1)}) {
        TerminalBuffer buffer;
        AppendInPieces(buffer, text, piece);
        QCOMPARE(LinesOf(buffer), lines);
        QCOMPARE(buffer.LineCount(), lines.size());
        const QByteArray joined = lines.join('\n');
        QCOMPARE(buffer.Text(), joined);
        QCOMPARE(buffer.Size(), joined.size());
    }
}

void TestTerminal::bufferClear()
{
    TerminalBuffer buffer;
    buffer.Append("first line\r\nsecond\r\n");
    buffer.Clear();
    QCOMPARE(buffer.LineCount(), 1);
    QCOMPARE(buffer.Size(), 0);
    QCOMPARE(buffer.MaxLineColumns(), 0);
    QVERIFY(buffer.Line(0).isEmpty());
    buffer.Append("x\ny");
    QCOMPARE(LinesOf(buffer), (QList<QByteArray>{"x", "y"}));
}

void TestTerminal::maxLineColumns_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("columns");

    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("plain") << QByteArray("abc\r\nabcdef\r\nab") << 6;
    QTest::newRow("last line widest") << QByteArray("ab\nabcdefgh") << 8;
    QTest::newRow("tab at start") << QByteArray("\tx") << 9;
    QTest::newRow("tab mid cell") << QByteArray("abc\tx") << 9;
    QTest::newRow("tab at boundary") << QByteArray("abcdefgh\t") << 16;
    QTest::newRow("two tabs") << QByteArray("a\t\tb") << 17;
    QTest::newRow("CR takes no column") << QByteArray("ab\rcd") << 4;
    QTest::newRow("column restarts per line") << QByteArray("abcdefg\n\t") << 8;
}

void TestTerminal::maxLineColumns()
{
    QFETCH(QByteArray, text);
    QFETCH(int, columns);
    for (qsizetype piece : {qsizetype(1), qsizetype(3), qsizetype(text.size() + 1)}) {
        TerminalBuffer buffer;
        AppendInPieces(buffer, text, piece);
        QCOMPARE(buffer.MaxLineColumns(), columns);
    }
}

void TestTerminal::lineLimitDropsOldest_data()
{
    QTest::addColumn<qsizetype>("limit");
    QTest::addColumn<int>("appended");

    QTest::newRow("only the open line kept") << qsizetype(1) << 5;
    QTest::newRow("small limit") << qsizetype(10) << 95;
    QTest::newRow("batches of a tenth") << qsizetype(1000) << 5500;
}

void TestTerminal::lineLimitDropsOldest()
{
    QFETCH(qsizetype, limit);
    QFETCH(int, appended);
    TerminalBuffer buffer;
    QCOMPARE(buffer.LineLimit(), TerminalBuffer::DefaultLineLimit);
    buffer.SetLineLimit(limit);
    int drops = 0;
    for (int i = 0; i < appended; ++i) {
        // A line that arrives in two pieces: the open line is never dropped.
        const QByteArray line = "line " + QByteArray::number(i);
        buffer.Append(line);
        QByteArray droppedText;
        const TerminalBuffer::Dropped gone = buffer.Append("\r\n", &droppedText);
        if (gone.lines > 0) {
            ++drops;
            QCOMPARE(droppedText.size(), gone.bytes);
            QCOMPARE(droppedText.count('\n'), gone.lines);
            QVERIFY(droppedText.endsWith('\n'));
        }
        QVERIFY(buffer.LineCount() <= limit);
        QCOMPARE(buffer.DroppedLines() + buffer.LineCount(), i + 2);
        // The newest lines, whole and in order.
        QCOMPARE(buffer.Line(buffer.LineCount() - 1), QByteArrayView());
        if (buffer.LineCount() > 1) {
            QCOMPARE(buffer.Line(buffer.LineCount() - 2), line);
            QCOMPARE(buffer.Line(0), "line " + QByteArray::number(buffer.DroppedLines()));
        }
        QCOMPARE(buffer.Size(), buffer.Text().size());
        QCOMPARE(buffer.LineStart(buffer.LineCount() - 1), buffer.Size());
    }
    // Dropped in batches of a tenth of the limit, not a line per append.
    QVERIFY2(drops <= appended / std::max<qsizetype>(1, limit / 10) + 1,
             qPrintable(QString::number(drops)));
    buffer.Clear();
    QCOMPARE(buffer.DroppedLines(), 0);
    QCOMPARE(buffer.LineLimit(), limit);
}

void TestTerminal::lineLimitChangedAndWidestDropped()
{
    TerminalBuffer buffer;
    buffer.Append("a very wide line, the widest\n");
    for (int i = 0; i < 20; ++i)
        buffer.Append("short\r\n");
    buffer.Append("open");
    QCOMPARE(buffer.MaxLineColumns(), 28);
    // A lower limit drops at once, down to nine tenths of it.
    QByteArray droppedText;
    const TerminalBuffer::Dropped gone = buffer.SetLineLimit(10, &droppedText);
    QCOMPARE(gone.lines, 13);
    QVERIFY(droppedText.startsWith("a very wide line"));
    QCOMPARE(buffer.LineCount(), 9);
    QCOMPARE(buffer.Line(8), "open");
    // The scroll range no longer makes room for the line that went.
    QCOMPARE(buffer.MaxLineColumns(), 5);
    QCOMPARE(buffer.SetLineLimit(100).lines, 0);
}

void TestTerminal::viewAfterDrops()
{
    TerminalView view;
    view.resize(780, 409);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.SetLineLimit(100);
    QSignalSpy droppedSpy(&view, &TerminalView::LinesDropped);
    for (int i = 0; i < 99; ++i)
        view.AppendText(QByteArray("line ") + QByteArray::number(i) + "\r\n");
    QCOMPARE(view.LineCount(), 100);
    QCOMPARE(droppedSpy.count(), 0);
    QScrollBar *vbar = view.verticalScrollBar();
    QTRY_VERIFY(vbar->maximum() > 11);
    QCOMPARE(vbar->value(), vbar->maximum());
    const int top = vbar->value();
    const QByteArray topLine = view.Buffer().Line(top).toByteArray();

    // The user drags a selection from the line in view: the lines that go
    // from the top take neither the view nor the selection along.
    QWidget *vp = view.viewport();
    QTest::mousePress(vp, Qt::LeftButton, Qt::NoModifier, Boundary(view, top + 1, 0));
    view.AppendText("line 99\r\n");
    QCOMPARE(droppedSpy.count(), 1);
    QCOMPARE(droppedSpy.at(0).at(0).value<qsizetype>(), 11);
    QCOMPARE(view.DroppedLines(), 11);
    QCOMPARE(view.Lines().first(), QStringLiteral("line 11"));
    QCOMPARE(vbar->value(), top - 11);
    QCOMPARE(view.Buffer().Line(vbar->value()), topLine);
    QTest::mouseRelease(vp, Qt::LeftButton, Qt::NoModifier, Boundary(view, top - 11 + 2, 2));
    const QString selected = QString::fromLatin1(view.Buffer().Line(top - 10)) + QStringLiteral("\nli");
    QCOMPARE(view.SelectedText(), selected);
    QTest::qWait(50);
    QCOMPARE(view.SelectedText(), selected);

    // A selection whose start goes keeps the rest, from the new first line.
    view.SelectAll();
    for (int i = 100; i < 111; ++i)
        view.AppendText(QByteArray("line ") + QByteArray::number(i) + "\r\n");
    QCOMPARE(view.DroppedLines(), 22);
    QVERIFY(view.SelectedText().startsWith(QStringLiteral("line 22\nline 23\n")));
    QVERIFY(view.SelectedText().endsWith(QStringLiteral("line 99\n")));
    // The end follows again, and painting the shorter text is fine.
    QTRY_COMPARE(vbar->value(), vbar->maximum());
    QCOMPARE(vbar->maximum(), int(view.LineCount()) - vbar->pageStep());
    vp->repaint();

    // Clearing starts the count again.
    view.Clear();
    QCOMPARE(view.DroppedLines(), 0);
    QCOMPARE(view.LineLimit(), 100);

    // One piece longer than the limit: only its newest lines are kept.
    view.AppendText("old\r\n");
    QByteArray flood;
    for (int i = 0; i < 150; ++i)
        flood += "flood " + QByteArray::number(i) + "\r\n";
    view.AppendText(flood);
    QCOMPARE(view.LineCount(), 90);
    QCOMPARE(view.Lines().first(), QStringLiteral("flood 61"));
    QCOMPARE(view.DroppedLines(), 62); // "old" went with them
}

void TestTerminal::viewLinesAndText()
{
    TerminalView view;
    QVERIFY(view.Lines().isEmpty());
    QCOMPARE(view.LineCount(), 1);

    view.AppendText("Serial: 0012\r");
    view.AppendText("\nVersion: 4.\xB5");
    view.AppendText("1\r\n>");
    QCOMPARE(view.Lines(),
             (QStringList{"Serial: 0012", QString::fromLatin1("Version: 4.\xB5" "1"), ">"}));
    QCOMPARE(view.Text(), QString::fromLatin1("Serial: 0012\nVersion: 4.\xB5" "1\n>"));

    // A final line break gives an empty line on screen, not in the saved lines.
    view.AppendText("\r\n");
    QCOMPARE(view.LineCount(), 4);
    QCOMPARE(view.Lines().size(), 3);

    view.Clear();
    QVERIFY(view.Lines().isEmpty());
    QVERIFY(view.Text().isEmpty());
}

void TestTerminal::viewFollowsEnd()
{
    TerminalView view;
    view.resize(780, 409);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    for (int i = 0; i < 200; ++i)
        view.AppendText(QByteArray("line ") + QByteArray::number(i) + "\r\n");
    QScrollBar *vbar = view.verticalScrollBar();
    QTRY_VERIFY(vbar->maximum() > 0);
    QCOMPARE(vbar->value(), vbar->maximum());

    // The user scrolls back; the next text brings the end into view again.
    vbar->setValue(0);
    view.AppendText("more\r\n");
    QTRY_COMPARE(vbar->value(), vbar->maximum());
    // The last line of text is in view.
    QVERIFY(view.CellPosition(view.LineCount() - 1, 0).y() < view.viewport()->height());

    view.Clear();
    QCoreApplication::processEvents();
    QCOMPARE(vbar->maximum(), 0);
}

void TestTerminal::selectAllAndCopy()
{
    TerminalView view;
    view.AppendText("alpha\r\nbeta \xE9\r\n>");
    QVERIFY(!view.HasSelection());
    QApplication::clipboard()->setText(QStringLiteral("untouched"));
    view.Copy();
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("untouched"));

    view.SelectAll();
    const QString expected = QString::fromLatin1("alpha\nbeta \xE9\n>");
    QCOMPARE(view.SelectedText(), expected);

    // The keyboard's copy reaches the clipboard through the focused view.
    view.show();
    view.setFocus();
    QVERIFY(QTest::qWaitForWindowActive(&view));
    QApplication::clipboard()->clear();
    QTest::keySequence(&view, QKeySequence::Copy);
    QCOMPARE(QApplication::clipboard()->text(), expected);

    view.ClearSelection();
    QVERIFY(view.SelectedText().isEmpty());
    QTest::keySequence(&view, QKeySequence::SelectAll);
    QCOMPARE(view.SelectedText(), expected);
}

void TestTerminal::mouseDragSelects()
{
    TerminalView view;
    view.resize(780, 409);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.AppendText("first line\r\nsecond\tline\r\nthird\r\n");
    QCoreApplication::processEvents();

    QWidget *vp = view.viewport();
    // From the middle of "first" to the middle of "third".
    QTest::mousePress(vp, Qt::LeftButton, Qt::NoModifier, Boundary(view, 0, 3));
    QTest::mouseMove(vp, CellCentre(view, 1, 2));
    QTest::mouseMove(vp, Boundary(view, 2, 2));
    QTest::mouseRelease(vp, Qt::LeftButton, Qt::NoModifier, Boundary(view, 2, 2));
    QCOMPARE(view.SelectedText(), QStringLiteral("st line\nsecond\tline\nth"));
    QVERIFY(view.hasFocus());

    // The selection is painted where the text is: the line breaks of the
    // first line (column 10) and of the middle line (column 12, after the
    // tab) are highlighted, the blank beyond them and beyond the selection's
    // end are not.
    const QImage shot = vp->grab().toImage();
    const auto colourAt = [&](qsizetype line, qsizetype column) {
        return shot.pixelColor(CellCentre(view, line, column)).rgb();
    };
    QCOMPARE(colourAt(1, 12), view.palette().color(QPalette::Highlight).rgb());
    QCOMPARE(colourAt(1, 20), view.palette().color(QPalette::Base).rgb());
    QCOMPARE(colourAt(2, 20), view.palette().color(QPalette::Base).rgb());
    QCOMPARE(colourAt(0, 10), view.palette().color(QPalette::Highlight).rgb());
    QCOMPARE(colourAt(0, 11), view.palette().color(QPalette::Base).rgb());

    // Dragging backwards selects the same way; past the line end takes it all.
    QTest::mousePress(vp, Qt::LeftButton, Qt::NoModifier, Boundary(view, 1, 40));
    QTest::mouseMove(vp, Boundary(view, 1, 8));
    QTest::mouseRelease(vp, Qt::LeftButton, Qt::NoModifier, Boundary(view, 1, 8));
    QCOMPARE(view.SelectedText(), QStringLiteral("line"));

    // A press picks the nearer edge of the cell under it, a tab's too.
    const auto drag = [&](QPoint a, QPoint b) {
        QTest::mousePress(vp, Qt::LeftButton, Qt::NoModifier, a);
        QTest::mouseMove(vp, b);
        QTest::mouseRelease(vp, Qt::LeftButton, Qt::NoModifier, b);
        return view.SelectedText();
    };
    QCOMPARE(drag(At(view, 2, 0.75), At(view, 2, 3.25)), QStringLiteral("hi"));
    QCOMPARE(drag(At(view, 1, 7.5), Boundary(view, 1, 10)), QStringLiteral("li"));
    QCOMPARE(drag(At(view, 1, 6.4), Boundary(view, 1, 10)), QStringLiteral("\tli"));

    // A click without a drag selects nothing.
    QTest::mouseClick(vp, Qt::LeftButton, Qt::NoModifier, CellCentre(view, 0, 1));
    QVERIFY(!view.HasSelection());
}

void TestTerminal::shiftClickExtendsAndDoubleClickSelectsWord()
{
    TerminalView view;
    view.resize(780, 409);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.AppendText("set ip_addr 11.0.0.7\r\n");
    QCoreApplication::processEvents();
    QWidget *vp = view.viewport();

    QTest::mouseClick(vp, Qt::LeftButton, Qt::NoModifier, Boundary(view, 0, 4));
    QTest::mouseClick(vp, Qt::LeftButton, Qt::ShiftModifier, Boundary(view, 0, 11));
    QCOMPARE(view.SelectedText(), QStringLiteral("ip_addr"));

    QTest::mouseDClick(vp, Qt::LeftButton, Qt::NoModifier, CellCentre(view, 0, 1));
    QCOMPARE(view.SelectedText(), QStringLiteral("set"));
    QTest::mouseDClick(vp, Qt::LeftButton, Qt::NoModifier, CellCentre(view, 0, 6));
    QCOMPARE(view.SelectedText(), QStringLiteral("ip_addr"));
    // A byte that is no word's is selected alone.
    QTest::mouseDClick(vp, Qt::LeftButton, Qt::NoModifier, CellCentre(view, 0, 14));
    QCOMPARE(view.SelectedText(), QStringLiteral("."));
}

void TestTerminal::selectionSurvivesAppendAndClearDropsIt()
{
    TerminalView view;
    view.AppendText("keep me\r\npart");
    view.SelectAll();
    for (int i = 0; i < 1000; ++i)
        view.AppendText("ial and more\r\n");
    QCOMPARE(view.SelectedText(), QStringLiteral("keep me\npart"));

    view.Clear();
    QVERIFY(!view.HasSelection());
    QVERIFY(view.SelectedText().isEmpty());
    view.AppendText("fresh\r\n");
    QVERIFY(view.SelectedText().isEmpty());
}

void TestTerminal::dragKeepsViewStill()
{
    TerminalView view;
    view.resize(780, 409);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    for (int i = 0; i < 100; ++i)
        view.AppendText(QByteArray("line ") + QByteArray::number(i) + "\r\n");
    QScrollBar *vbar = view.verticalScrollBar();
    QTRY_VERIFY(vbar->maximum() > 0);
    QCOMPARE(vbar->value(), vbar->maximum());
    const int before = vbar->value();
    const QString selected = QStringLiteral("line %1\nli").arg(before + 1);

    // While the user drags a selection the view does not run away from the
    // pointer; the next text after the release brings the end back.
    QWidget *vp = view.viewport();
    QTest::mousePress(vp, Qt::LeftButton, Qt::NoModifier, Boundary(view, before + 1, 0));
    for (int i = 0; i < 50; ++i)
        view.AppendText("more\r\n");
    QTest::qWait(50);
    QCOMPARE(vbar->value(), before);
    QTest::mouseRelease(vp, Qt::LeftButton, Qt::NoModifier, Boundary(view, before + 2, 2));
    QCOMPARE(view.SelectedText(), selected);
    view.AppendText("after\r\n");
    QTRY_COMPARE(vbar->value(), vbar->maximum());
    QVERIFY(vbar->value() > before);
    QCOMPARE(view.SelectedText(), selected);
}

void TestTerminal::keysPropagate_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("Escape") << int(Qt::Key_Escape) << int(Qt::NoModifier) << false;
    QTest::newRow("Enter") << int(Qt::Key_Return) << int(Qt::NoModifier) << false;
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << false;
    QTest::newRow("letter") << int(Qt::Key_A) << int(Qt::NoModifier) << false;
    QTest::newRow("Ctrl+C") << int(Qt::Key_C) << int(Qt::ControlModifier) << true;
    QTest::newRow("Page Up scrolls") << int(Qt::Key_PageUp) << int(Qt::NoModifier) << true;
}

void TestTerminal::keysPropagate()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, accepted);

    // The window behind the view must see the keys the view has no use for.
    KeyWatcher window;
    auto *view = new TerminalView(&window);
    view->AppendText("some text\r\n");
    window.show();
    view->setFocus();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    QTest::keyClick(view, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(window.keys.contains(key), !accepted);
    // Nothing typed ever reaches the text.
    QCOMPARE(view->Text(), QStringLiteral("some text\n"));
}

void TestTerminal::findWhileLinesDropped_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("matchCase");
    QTest::addColumn<bool>("regex");
    // Which kept lines must match, judged line by line.
    QTest::addColumn<QString>("truth");
    QTest::newRow("plain") << "FAIL 7" << true << false << "FAIL 7";
    QTest::newRow("any case") << "fail 7" << false << false << "(?i)fail 7";
    QTest::newRow("regular expression") << "F[A-Z]+L \\d7$" << true << true << "F[A-Z]+L \\d7$";
}

void TestTerminal::findWhileLinesDropped()
{
    QFETCH(QString, pattern);
    QFETCH(bool, matchCase);
    QFETCH(bool, regex);
    QFETCH(QString, truth);
    const QRegularExpression judge(truth);

    // A store of 200 lines that keeps dropping its oldest while lines come
    // in pieces that split them anywhere; the search catches up after every
    // piece, as the view does once a frame.
    TerminalBuffer buffer;
    buffer.SetLineLimit(200);
    TerminalFind find;
    QVERIFY(find.SetPattern(pattern, matchCase, regex, buffer));
    QByteArray text;
    for (int i = 0; i < 1000; ++i)
        text += QByteArray(i % 3 ? "line %1 ok\r\n" : "line %1 FAIL %2\r\n").replace("%1", QByteArray::number(i))
                    .replace("%2", QByteArray::number(i % 100));
    QByteArray current;
    qsizetype currentLine = -1;
    for (qsizetype at = 0; at < text.size(); at += 37) {
        buffer.Append(QByteArrayView(text).sliced(at, std::min<qsizetype>(37, text.size() - at)));
        find.Update(buffer);
        if (find.Current() < 0 && find.Count() > 0)
            find.Next(0, buffer);
        // The current match stays on the same text while its line is kept.
        if (find.Current() >= 0) {
            const TerminalFind::Match &m = find.At(find.Current());
            const QByteArray now = buffer.Line(m.line - buffer.DroppedLines()).toByteArray();
            if (m.line == currentLine)
                QCOMPARE(now.left(current.size()), current);
            current = now;
            currentLine = m.line;
        }
    }
    QVERIFY(buffer.DroppedLines() > 500);

    // Every match lies on a kept line that matches, and every such line has
    // its match.
    qsizetype expected = 0;
    for (qsizetype i = 0; i < buffer.LineCount(); ++i)
        expected += judge.match(QString::fromLatin1(buffer.Line(i))).hasMatch() ? 1 : 0;
    QVERIFY(expected > 0);
    QCOMPARE(find.Count(), expected);
    for (qsizetype k = 0; k < find.Count(); ++k) {
        const TerminalFind::Match &m = find.At(k);
        const QByteArrayView line = buffer.Line(m.line - buffer.DroppedLines());
        QVERIFY(m.line >= buffer.DroppedLines());
        QVERIFY(judge.match(QString::fromLatin1(line.sliced(m.start, m.length))).hasMatch());
    }

    // Cleared, nothing is left to find; new text is found again.
    buffer.Clear();
    find.Update(buffer);
    QCOMPARE(find.Count(), 0);
    buffer.Append("line 7 FAIL 77\n");
    find.Update(buffer);
    QCOMPARE(find.Count(), 1);
    QCOMPARE(find.At(0).line, 0);
}

void TestTerminal::ruleMatchesAcrossPieces_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<int>("rule");
    QTest::newRow("error split") << QByteArrayList{"boot: er", "ror 5", "\r\n"} << 0;
    QTest::newRow("FAIL split at CR") << QByteArrayList{"selftest FA", "IL\r", "\n"} << 0;
    QTest::newRow("tool message") << QByteArrayList{"No response ", "from Mirto"} << 1;
    QTest::newRow("link went away") << QByteArrayList{"COM12 went", " away\r\n"} << 1;
    QTest::newRow("link back") << QByteArrayList{"Reconnected to COM12\r\n"} << 1;
    QTest::newRow("nothing") << QByteArrayList{"err", "\r\nor\r\n"} << -1;
}

void TestTerminal::ruleMatchesAcrossPieces()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(int, rule);
    TerminalView view;
    view.SetHighlightRules(HighlightRules::Defaults());
    for (const QByteArray &piece : pieces)
        view.AppendText(piece);
    QCOMPARE(view.LineRule(0), rule);
    // A dark palette gets light colours, a light one dark colours.
    QPalette dark = view.palette();
    dark.setColor(QPalette::Base, Qt::black);
    view.setPalette(dark);
    QVERIFY(view.RuleColor(QStringLiteral("Red")).lightness() > 128);
    QPalette light = view.palette();
    light.setColor(QPalette::Base, Qt::white);
    view.setPalette(light);
    QVERIFY(view.RuleColor(QStringLiteral("Red")).lightness() < 128);
}

void TestTerminal::copyWithAndWithoutStamps()
{
    TerminalView view;
    view.AppendText("one\r\n");
    view.AppendText("tw");
    view.AppendText("o\r\n");
    view.SelectAll();
    QClipboard *clipboard = QGuiApplication::clipboard();

    // Stamps off: what shows is the device's text, both ways.
    view.Copy();
    QCOMPARE(clipboard->text(), QStringLiteral("one\ntwo\n"));

    view.SetTimeStamps(true);
    view.Copy();
    static const QRegularExpression shown(
        QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] one\n"
                       "\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] two\n$"));
    QVERIFY2(shown.match(clipboard->text()).hasMatch(), qPrintable(clipboard->text()));
    view.CopyWithoutStamps();
    QCOMPARE(clipboard->text(), QStringLiteral("one\ntwo\n"));
    // Stamps are no part of the text saving and searching see.
    QCOMPARE(view.Text(), QStringLiteral("one\ntwo\n"));

    // Part of a line: its stamp only when the selection starts the line.
    QCOMPARE(TerminalStampText(3'723'004), QStringLiteral("[01:02:03.004] "));
}

void TestTerminal::findKeepsViewWhileTextArrives()
{
    TerminalView view;
    view.resize(780, 409);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    for (int i = 0; i < 200; ++i)
        view.AppendText(QByteArray(i % 50 ? "line " : "mark ") + QByteArray::number(i) + "\r\n");
    QScrollBar *vbar = view.verticalScrollBar();
    QTRY_VERIFY(vbar->maximum() > 0);

    view.SetFindActive(true);
    QVERIFY(view.SetFindPattern(QStringLiteral("mark"), true, false));
    QCOMPARE(view.Find().Count(), 4);
    // From the end, the next match wraps round to the first line.
    view.FindNext();
    QCOMPARE(view.Find().Current(), 0);
    const int reading = vbar->value();
    QCOMPARE(reading, 0);

    // Text goes on arriving: its matches are counted, the view stays.
    for (int i = 200; i < 300; ++i)
        view.AppendText(QByteArray(i % 50 ? "line " : "mark ") + QByteArray::number(i) + "\r\n");
    QTRY_COMPARE(view.Find().Count(), 6);
    QCOMPARE(vbar->value(), reading);
    QCOMPARE(view.Find().Current(), 0);
    view.FindPrevious();
    QCOMPARE(view.Find().Current(), 5);
    QVERIFY(vbar->value() > 200);

    // Find closed, the view follows the text again.
    view.SetFindActive(false);
    vbar->setValue(0);
    view.AppendText("more\r\n");
    QTRY_COMPARE(vbar->value(), vbar->maximum());
}

void TestTerminal::findBarSaysWhatItFound_data()
{
    QTest::addColumn<int>("lines");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("regex");
    QTest::addColumn<QString>("said"); // a regular expression
    QTest::newRow("a match a line") << 2 << "Error[^!]*" << true << "1 of 2";
    QTest::newRow("only empty text") << 2 << "x*" << true
                                     << "No matches: the pattern matches only empty text";
    QTest::newRow("nothing") << 2 << "zzz" << false << "No matches";
    QTest::newRow("broken") << 2 << "(" << true
                            << "Not a regular expression: missing closing parenthesis";
    // A long store: typing returns at once, the search goes on from the
    // event loop and a match is made current once it is done (the first
    // from the end, where the view is).
    QTest::newRow("every blank of a long store")
        << 50'000 << "\\s*" << true << "\\d+,\\d+ of 100,000";
}

void TestTerminal::findBarSaysWhatItFound()
{
    QFETCH(int, lines);
    QFETCH(QString, pattern);
    QFETCH(bool, regex);
    QFETCH(QString, said);

    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    auto *view = new TerminalView(&window);
    auto *bar = new FindBar(view, &window);
    layout->addWidget(view);
    layout->addWidget(bar);
    QByteArray text;
    for (int i = 0; i < lines; ++i)
        text += (i % 2 ? "Error two " : "Error one ") + QByteArray::number(i) + "\r\n";
    view->AppendText(text);
    window.show();
    bar->Open();
    bar->findChild<QCheckBox *>(QStringLiteral("FindRegularExpression"))->setChecked(regex);
    bar->Edit()->setText(pattern);
    const QRegularExpression expected(QRegularExpression::anchoredPattern(said));
    QTRY_VERIFY2_WITH_TIMEOUT(expected.match(bar->CountText()).hasMatch(),
                              qPrintable(bar->CountText()), 60'000);
    QCOMPARE(bar->findChild<QLabel *>(QStringLiteral("FindCount"))->accessibleName(),
             bar->CountText());
}

void TestTerminal::preferencesKeys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("colour"); // of the first rule afterwards
    QTest::addColumn<int>("rules");
    QTest::newRow("Alt+O is OK") << int(Qt::Key_O) << int(Qt::AltModifier) << true << "Red" << 2;
    QTest::newRow("Alt+A adds a rule") << int(Qt::Key_A) << int(Qt::AltModifier) << false << "Red" << 3;
    QTest::newRow("a letter picks a colour") << int(Qt::Key_O) << int(Qt::NoModifier) << false
                                             << "Orange" << 2;
}

void TestTerminal::preferencesKeys()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, accepted);
    QFETCH(QString, colour);
    QFETCH(int, rules);
    // The focus in a rule's colour list, as after picking a colour.
    PreferencesDialog dialog;
    dialog.SetRules(HighlightRules::Defaults());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    auto *colours = qobject_cast<QComboBox *>(dialog.RuleTable()->cellWidget(0, 1));
    colours->setFocus();
    QTRY_VERIFY(colours->hasFocus());
    QTest::keyClick(colours, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    // A button's key shows it pressed a moment before it clicks.
    QTRY_COMPARE(dialog.Rules().size(), rules);
    QTRY_COMPARE(dialog.result() == QDialog::Accepted && !dialog.isVisible(), accepted);
    QCOMPARE(dialog.Rules().first().color, colour);
}

void TestTerminal::hexViewOfPiecesSplitMidLine_data()
{
    QTest::addColumn<QList<int>>("cuts");
    QTest::newRow("whole") << QList<int> {};
    QTest::newRow("after one byte") << QList<int> {1};
    QTest::newRow("in the first half") << QList<int> {5};
    QTest::newRow("at the halves' gap") << QList<int> {7, 8, 9};
    QTest::newRow("at a line's end") << QList<int> {15, 16, 17};
    QTest::newRow("byte by byte") << [] {
        QList<int> all;
        for (int i = 1; i < 35; ++i)
            all << i;
        return all;
    }();
}

void TestTerminal::hexViewOfPiecesSplitMidLine()
{
    QFETCH(QList<int>, cuts);
    // Zero bytes, '#', line ends and bytes above 127 are shown, not acted on.
    const QByteArray bytes = QByteArray("#ABCDEFGH\r\nmode>") + QByteArray("\0\xff\x7f", 3)
                             + QByteArray("0123456789abcdef");
    HexDump dump;
    QByteArray shown;
    qsizetype from = 0;
    for (int cut : cuts) {
        shown += dump.Feed(QByteArrayView(bytes).sliced(from, cut - from));
        from = cut;
    }
    shown += dump.Feed(QByteArrayView(bytes).sliced(from));
    QCOMPARE(dump.Offset(), qint64(35));
    // Two whole lines, and the open third one with its hex so far.
    QCOMPARE(shown, QByteArray("00000000  23 41 42 43 44 45 46 47  48 0d 0a 6d 6f 64 65 3e  |#ABCDEFGH..mode>|\n"
                               "00000010  00 ff 7f 30 31 32 33 34  35 36 37 38 39 61 62 63  |...0123456789abc|\n"
                               "00000020  64 65 66 "));
    // Ended for other text: padded, so the text column stays in line.
    QCOMPARE(dump.Break(), QByteArray("                                         |def|\n"));
    QCOMPARE(dump.Break(), QByteArray());
    // The terminal and the log take the same text, lines as shown.
    TerminalBuffer buffer;
    buffer.Append(shown);
    QCOMPARE(buffer.Line(1).size(), buffer.Line(0).size());
}

QTEST_MAIN(TestTerminal)
#include "tst_terminal.moc"
