#include "desktop/fields/AbNumEdit.h"
#include "desktop/fields/AcIPEdit.h"
#include "core/links/HexNumber.h"
#include "core/links/IpAddress.h"

#include <QClipboard>
#include <QDialog>
#include <QGuiApplication>
#include <QPushButton>
#include <QSignalSpy>
#include <QVBoxLayout>
#include <QtTest>

namespace {

class CountingNumEdit : public TAbNumEdit {
public:
    using TAbNumEdit::TAbNumEdit;
    int beeps = 0;

protected:
    void Beep() override { ++beeps; }
};

// A window holding a number field and one more control to leave it for.
struct NumEditWindow {
    QWidget window;
    CountingNumEdit *field = new CountingNumEdit(&window);
    QLineEdit *other = new QLineEdit(&window);

    NumEditWindow()
    {
        auto *layout = new QVBoxLayout(&window);
        layout->addWidget(field);
        layout->addWidget(other);
        window.show();
        window.activateWindow();
    }
    bool ready()
    {
        if (!QTest::qWaitForWindowActive(&window))
            return false;
        field->setFocus(Qt::OtherFocusReason);
        return field->hasFocus();
    }
};

// Types `script` into `w`: characters as typed, {Name} for a special key.
void play(QWidget *w, const QString &script)
{
    static const QHash<QString, Qt::Key> keys = {
        {"Enter", Qt::Key_Return}, {"Tab", Qt::Key_Tab},   {"Up", Qt::Key_Up},
        {"Down", Qt::Key_Down},    {"Esc", Qt::Key_Escape}, {"Back", Qt::Key_Backspace},
        {"Del", Qt::Key_Delete},   {"End", Qt::Key_End},    {"Home", Qt::Key_Home},
        {"Left", Qt::Key_Left},    {"Right", Qt::Key_Right}};
    for (qsizetype i = 0; i < script.size(); ++i) {
        if (script.at(i) == u'{') {
            const qsizetype close = script.indexOf(u'}', i);
            QTest::keyClick(w, keys.value(script.mid(i + 1, close - i - 1)));
            i = close;
        } else {
            QTest::keyClicks(w, script.mid(i, 1));
        }
    }
}

} // namespace

class tst_entryfields : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void addressParser_data();
    void addressParser();
    void addressSetText_data();
    void addressSetText();
    void octetTyping_data();
    void octetTyping();
    void octetPasteChecked();
    void octetNavigation();
    void addressTypedStraight_data();
    void addressTypedStraight();

    void hexCheck_data();
    void hexCheck();
    void numberField_data();
    void numberField();
    void numberFieldColours();
    void programTextNotCut();
    void stepsStayInRangeAndSignal();
    void enterAndEscapeInDialog();
    void invalidTextKeepsFocus();
};

void tst_entryfields::addressParser_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("expected"); // empty: no address

    QTest::newRow("plain") << QByteArray("192.0.2.100") << QByteArray("192.0.2.100");
    QTest::newRow("octal part") << QByteArray("192.168.000.010") << QByteArray("192.168.0.8");
    QTest::newRow("two parts") << QByteArray("10.1") << QByteArray("10.0.0.1");
    QTest::newRow("three parts") << QByteArray("1.2.3") << QByteArray("1.2.0.3");
    QTest::newRow("hex part") << QByteArray("0x7f.1") << QByteArray("127.0.0.1");
    QTest::newRow("hex upper") << QByteArray("0X7F.0XFF") << QByteArray("127.0.0.255");
    QTest::newRow("one part") << QByteArray("4294967295") << QByteArray("255.255.255.255");
    QTest::newRow("one octal part") << QByteArray("017700000001") << QByteArray("127.0.0.1");
    QTest::newRow("zero") << QByteArray("0") << QByteArray("0.0.0.0");
    QTest::newRow("last part 16 bits") << QByteArray("1.2.65535") << QByteArray("1.2.255.255");
    QTest::newRow("last part 24 bits") << QByteArray("1.16777215") << QByteArray("1.255.255.255");
    QTest::newRow("many leading zeros") << QByteArray("0000000000001.2.3.4") << QByteArray("1.2.3.4");
    QTest::newRow("8 in octal") << QByteArray("08") << QByteArray();
    QTest::newRow("empty part") << QByteArray("1..2") << QByteArray();
    QTest::newRow("octet 256") << QByteArray("1.2.3.256") << QByteArray();
    QTest::newRow("five parts") << QByteArray("1.2.3.4.5") << QByteArray();
    QTest::newRow("letter") << QByteArray("a") << QByteArray();
    QTest::newRow("empty") << QByteArray("") << QByteArray();
    QTest::newRow("trailing dot") << QByteArray("1.2.3.4.") << QByteArray();
    QTest::newRow("0x alone") << QByteArray("0x") << QByteArray();
    QTest::newRow("blank") << QByteArray("1.2.3.4 ") << QByteArray();
    QTest::newRow("sign") << QByteArray("-1") << QByteArray();
    QTest::newRow("33 bits") << QByteArray("4294967296") << QByteArray();
    QTest::newRow("huge") << QByteArray("99999999999999999999999") << QByteArray();
    QTest::newRow("last part too big") << QByteArray("1.2.65536") << QByteArray();
    QTest::newRow("first part too big") << QByteArray("256.1") << QByteArray();
}

void tst_entryfields::addressParser()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, expected);
    const std::optional<quint32> value = ParseIpAddress(text);
    QCOMPARE(value.has_value(), !expected.isEmpty());
    const QByteArray shown = FormatIpAddress(ParseIpAddressOrAllOnes(text));
    QCOMPARE(shown, expected.isEmpty() ? QByteArray("255.255.255.255") : expected);
}

// Setting the text of an address field that held `before`.
void tst_entryfields::addressSetText_data()
{
    QTest::addColumn<QString>("before"); // null: a new field
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("changes");
    QTest::addColumn<uint>("ipLong");

    QTest::newRow("new field") << QString() << "192.0.2.100" << "192.0.2.100" << 1 << 0x640200c0u;
    QTest::newRow("octal rebuilt") << QString() << "192.168.000.010" << "192.168.0.8" << 1
                                   << 0x0800a8c0u;
    QTest::newRow("two parts") << QString() << "10.1" << "10.0.0.1" << 1 << 0x0100000au;
    QTest::newRow("no address") << QString() << "a" << "255.255.255.255" << 1 << 0xffffffffu;
    QTest::newRow("0.0.0.0 on new field") << QString() << "0.0.0.0" << "0.0.0.0" << 0 << 0u;
    QTest::newRow("same text") << "1.2.3.4" << "1.2.3.4" << "1.2.3.4" << 0 << 0x04030201u;
    QTest::newRow("same value kept as given") << "10.0.0.1" << "10.1" << "10.1" << 0
                                              << 0x0100000au;
    QTest::newRow("empty clears") << "1.2.3.4" << "" << "" << 1 << 0u;
    QTest::newRow("empty on new field") << QString() << "" << "" << 0 << 0u;
    QTest::newRow("empty after 0.0.0.0") << "0.0.0.0" << "" << "" << 0 << 0u;
}

void tst_entryfields::addressSetText()
{
    QFETCH(QString, before);
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QFETCH(int, changes);
    QFETCH(uint, ipLong);
    TacIPEdit field;
    if (!before.isNull())
        field.SetText(before);
    QSignalSpy spy(&field, &TacIPEdit::OnChange);
    field.SetText(text);
    QCOMPARE(field.Text(), expected);
    QCOMPARE(spy.count(), changes);
    QCOMPARE(field.IPLong, quint32(ipLong));
    const quint8 octets[4] = {field.IP1, field.IP2, field.IP3, field.IP4};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(int(octets[i]), int((ipLong >> (8 * i)) & 0xff));
        QCOMPARE(field.Box(i)->text(), QString::number(octets[i]));
    }
    // Setting it again raises nothing.
    field.SetText(text);
    QCOMPARE(spy.count(), changes);
}

// Typing `keys` into one box, its caret at `cursor` (-1: all selected).
void tst_entryfields::octetTyping_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<int>("box");
    QTest::addColumn<int>("cursor");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("boxText");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("changes");

    QTest::newRow("256 refused") << "1.2.25.4" << 2 << 2 << "6" << "25" << "1.2.25.4" << 0;
    QTest::newRow("255 taken") << "1.2.25.4" << 2 << 2 << "5" << "255" << "1.2.255.4" << 1;
    QTest::newRow("non-digits refused") << "1.2.25.4" << 2 << 2 << "a-+" << "25" << "1.2.25.4" << 0;
    QTest::newRow("leading zero removed") << "1.2.0.4" << 2 << 1 << "5" << "5" << "1.2.5.4" << 1;
    QTest::newRow("zero typed in front") << "1.2.7.4" << 2 << 0 << "0" << "7" << "1.2.7.4" << 1;
    QTest::newRow("emptied box counts 0") << "192.0.2.10" << 2 << -1 << "{Back}" << ""
                                          << "192.0.0.10" << 1;
    QTest::newRow("deleting keeps zero") << "1.2.105.4" << 2 << 1 << "{Back}" << "05" << "1.2.5.4"
                                         << 1;
    QTest::newRow("no address, then typed") << "" << 0 << -1 << "7" << "7" << "7.0.0.0" << 1;
}

void tst_entryfields::octetTyping()
{
    QFETCH(QString, start);
    QFETCH(int, box);
    QFETCH(int, cursor);
    QFETCH(QString, keys);
    QFETCH(QString, boxText);
    QFETCH(QString, text);
    QFETCH(int, changes);
    TacIPEdit field;
    field.SetText(QStringLiteral("9.9.9.9"));
    field.SetText(start);
    QCOMPARE(field.Text(), start);
    TacOctetBox *b = field.Box(box);
    if (cursor < 0)
        b->selectAll();
    else
        b->setCursorPosition(cursor);
    QSignalSpy spy(&field, &TacIPEdit::OnChange);
    play(b, keys);
    QCOMPARE(b->text(), boxText);
    QCOMPARE(field.Text(), text);
    QCOMPARE(spy.count(), changes);
    if (changes == 0 && cursor >= 0)
        QCOMPARE(b->cursorPosition(), cursor); // a refused key leaves the caret
}

void tst_entryfields::octetPasteChecked()
{
    TacIPEdit field;
    field.SetText(QStringLiteral("1.2.3.4"));
    QSignalSpy spy(&field, &TacIPEdit::OnChange);
    TacOctetBox *b = field.Box(0);
    b->selectAll();
    QGuiApplication::clipboard()->setText(QStringLiteral("1x"));
    if (QGuiApplication::clipboard()->text() != QStringLiteral("1x"))
        QSKIP("no clipboard on this platform");
    b->paste();
    QCOMPARE(b->text(), QStringLiteral("1"));
    QCOMPARE(spy.count(), 0);
    b->selectAll();
    QGuiApplication::clipboard()->setText(QStringLiteral("300"));
    b->paste();
    QCOMPARE(b->text(), QStringLiteral("1"));
    QGuiApplication::clipboard()->setText(QStringLiteral("42"));
    b->selectAll();
    b->paste();
    QCOMPARE(field.Text(), QStringLiteral("42.2.3.4"));
    QCOMPARE(spy.count(), 1);
}

void tst_entryfields::octetNavigation()
{
    QWidget window;
    auto *field = new TacIPEdit(&window);
    new QVBoxLayout(&window);
    window.layout()->addWidget(field);
    field->SetText(QStringLiteral("11.22.33.44"));
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    field->setFocus(Qt::OtherFocusReason);
    QVERIFY(field->Box(0)->hasFocus()); // the field is entered at its first box

    field->Box(0)->setCursorPosition(2);
    play(field->Box(0), "{Right}");
    QVERIFY(field->Box(1)->hasFocus());
    QCOMPARE(field->Box(1)->cursorPosition(), 0);

    play(field->Box(1), "{Left}");
    QVERIFY(field->Box(0)->hasFocus());
    QCOMPARE(field->Box(0)->cursorPosition(), 2);

    // Inside a box the arrows move the caret; '.' moves on from anywhere in
    // the box, to the next box with its text selected for replacing.
    play(field->Box(0), "{Left}");
    QVERIFY(field->Box(0)->hasFocus());
    QCOMPARE(field->Box(0)->cursorPosition(), 1);
    play(field->Box(0), ".");
    QVERIFY(field->Box(1)->hasFocus());
    QCOMPARE(field->Box(1)->selectedText(), QStringLiteral("22"));

    // The last box has nowhere to go: there '.' is refused.
    field->Box(3)->setFocus(Qt::OtherFocusReason);
    field->Box(3)->setCursorPosition(2);
    play(field->Box(3), "{Right}.");
    QVERIFY(field->Box(3)->hasFocus());
    QCOMPARE(field->Box(3)->cursorPosition(), 2);
    QCOMPARE(field->Text(), QStringLiteral("11.22.33.44"));
}

// An address typed as it is written, from the first box on, each key to the
// box that has the focus then.
void tst_entryfields::addressTypedStraight_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("text");
    QTest::newRow("new field") << "" << "192.168.1.50" << "192.168.1.50";
    QTest::newRow("over an address") << "10.20.30.40" << "172.16.0.9" << "172.16.0.9";
    QTest::newRow("an empty part keeps its value") << "10.20.30.40" << "1..3" << "1.20.3.40";
    QTest::newRow("a dot after the last part") << "" << "1.2.3.4." << "1.2.3.4";
    QTest::newRow("too large stays refused") << "" << "300.1.1.1" << "30.1.1.1";
}

void tst_entryfields::addressTypedStraight()
{
    QFETCH(QString, start);
    QFETCH(QString, typed);
    QFETCH(QString, text);
    QWidget window;
    auto *before = new QLineEdit(&window);
    auto *field = new TacIPEdit(&window);
    new QVBoxLayout(&window);
    window.layout()->addWidget(before);
    window.layout()->addWidget(field);
    field->SetText(start);
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    // Reached with Tab, as a user reaches it: the first box's text selected.
    before->setFocus();
    QTest::keyClick(before, Qt::Key_Tab);
    QVERIFY(field->Box(0)->hasFocus());
    for (QChar c : typed)
        QTest::keyClicks(QApplication::focusWidget(), QString(c));
    QCOMPARE(field->Text(), text);
}

void tst_entryfields::hexCheck_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("formatted"); // when valid
    QTest::addColumn<int>("first");         // when invalid
    QTest::addColumn<int>("last");

    QTest::newRow("hex, leading zeros") << "00a1f" << true << "A1F" << -1 << -1;
    QTest::newRow("dollar") << "$ff" << true << "FF" << -1 << -1;
    QTest::newRow("decimal") << "%100" << true << "64" << -1 << -1;
    QTest::newRow("binary") << "&101" << true << "5" << -1 << -1;
    QTest::newRow("fraction rounds") << "!10.5" << true << "B" << -1 << -1;
    QTest::newRow("fraction down") << "!10.49" << true << "A" << -1 << -1;
    QTest::newRow("top of range") << "FFFFF" << true << "FFFFF" << -1 << -1;
    QTest::newRow("zero") << "0" << true << "0" << -1 << -1;
    QTest::newRow("empty") << "" << true << "0" << -1 << -1;
    QTest::newRow("base alone") << "%" << true << "0" << -1 << -1;
    QTest::newRow("one bad char") << "12G4" << false << "" << 2 << 2;
    QTest::newRow("bad chars apart") << "G1H" << false << "" << 0 << 2;
    QTest::newRow("binary 2") << "&12" << false << "" << 2 << 2;
    QTest::newRow("minus") << "%-5" << false << "" << 1 << 1;
    QTest::newRow("blank") << " 1" << false << "" << 0 << 0;
    QTest::newRow("two points") << "!1.2.3" << false << "" << 4 << 4;
    QTest::newRow("above range") << "100000" << false << "" << 0 << 5;
    QTest::newRow("decimal above range") << "%1048576" << false << "" << 0 << 7;
    QTest::newRow("fraction rounds above") << "!1048575.5" << false << "" << 0 << 9;
    QTest::newRow("very long") << QString(40, u'F') << false << "" << 0 << 39;
}

void tst_entryfields::hexCheck()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QString, formatted);
    QFETCH(int, first);
    QFETCH(int, last);
    const HexNumberCheck check = CheckHexNumber(text);
    QCOMPARE(check.Valid, valid);
    if (valid)
        QCOMPARE(FormatHexNumber(check.Value), formatted);
    QCOMPARE(check.FirstInvalid, first);
    QCOMPARE(check.LastInvalid, last);
}

// Typing into a number field whose text is all selected, as on entering it.
void tst_entryfields::numberField_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("beeped");

    const int accepted = int(TAbNumEdit::EditState::Accepted);
    const int editing = int(TAbNumEdit::EditState::Editing);
    const int invalid = int(TAbNumEdit::EditState::Invalid);
    QTest::newRow("leave normalises") << "00a1f{Tab}" << "A1F" << accepted << false;
    QTest::newRow("decimal on Enter") << "%100{Enter}" << "64" << accepted << false;
    QTest::newRow("binary on Enter") << "&101{Enter}" << "5" << accepted << false;
    QTest::newRow("empty on leave") << "{Back}{Tab}" << "0" << accepted << false;
    QTest::newRow("zeros dropped") << "0000F{Enter}" << "F" << accepted << false;
    QTest::newRow("typed, not accepted") << "1f" << "1f" << editing << false;
    QTest::newRow("invalid stays") << "12G4{Enter}" << "12G4" << invalid << true;
    QTest::newRow("typing limit") << "123456" << "12345" << editing << false;
    QTest::newRow("up") << "A{Up}" << "B" << accepted << false;
    QTest::newRow("down") << "%10{Down}" << "9" << accepted << false;
    QTest::newRow("up at top") << "FFFFF{Up}" << "FFFFF" << accepted << false;
    QTest::newRow("down at zero") << "0{Down}" << "0" << accepted << false;
    QTest::newRow("up on invalid") << "1G{Up}" << "1G" << invalid << true;
    QTest::newRow("escape restores") << "A1F{Enter}77{Esc}" << "A1F" << accepted << false;
    QTest::newRow("escape after invalid") << "A1F{Enter}{Back}G{Esc}" << "A1F" << accepted << true;
}

void tst_entryfields::numberField()
{
    QFETCH(QString, keys);
    QFETCH(QString, text);
    QFETCH(int, state);
    QFETCH(bool, beeped);
    NumEditWindow w;
    QVERIFY(w.ready());
    w.field->selectAll();
    play(w.field, keys);
    QCOMPARE(w.field->text(), text);
    QCOMPARE(int(w.field->State()), state);
    QCOMPARE(w.field->beeps > 0, beeped);
    QCOMPARE(w.field->IsValid(), state != int(TAbNumEdit::EditState::Invalid));
    if (keys == "12G4{Enter}")
        QCOMPARE(w.field->selectedText(), QStringLiteral("G")); // shown on accepting
}

void tst_entryfields::numberFieldColours()
{
    CountingNumEdit field;
    const QColor normal = field.palette().color(QPalette::Base);
    field.setText(QStringLiteral("1F"));
    QCOMPARE(field.palette().color(QPalette::Base), QColor(0x00, 0x80, 0x00));
    field.setText(QStringLiteral("1G"));
    QCOMPARE(field.palette().color(QPalette::Base), QColor(Qt::red));
    QCOMPARE(field.Value(), 0); // the last accepted value
    field.setText(QStringLiteral("1F"));
    QCOMPARE(field.Value(), 0x1F);
    QVERIFY(field.AcceptText());
    QCOMPARE(field.palette().color(QPalette::Base), normal);
    QCOMPARE(field.beeps, 0); // the program's own text does not beep
}

void tst_entryfields::programTextNotCut()
{
    NumEditWindow w;
    QVERIFY(w.ready());
    w.field->setText(QStringLiteral("123456789ABC"));
    QCOMPARE(w.field->text(), QStringLiteral("123456789ABC"));
    QCOMPARE(w.field->State(), TAbNumEdit::EditState::Invalid); // above the range
    play(w.field, "{End}{Back}");
    QCOMPARE(w.field->text(), QStringLiteral("123456789AB"));
    play(w.field, "D");
    QCOMPARE(w.field->text(), QStringLiteral("123456789AB"));
    QVERIFY(!w.field->AcceptText());
    QCOMPARE(w.field->text(), QStringLiteral("123456789AB"));
}

void tst_entryfields::stepsStayInRangeAndSignal()
{
    CountingNumEdit field;
    field.SetValue(0x123456);
    QCOMPARE(field.text(), QStringLiteral("FFFFF"));
    QSignalSpy spy(&field, &TAbNumEdit::OnChange);
    play(&field, "{Up}");
    QCOMPARE(spy.count(), 0);
    play(&field, "{Down}");
    QCOMPARE(field.text(), QStringLiteral("FFFFE"));
    QCOMPARE(spy.count(), 1);
    field.SetValue(-5);
    QCOMPARE(field.text(), QStringLiteral("0"));
}

void tst_entryfields::enterAndEscapeInDialog()
{
    QDialog dialog;
    auto *field = new CountingNumEdit(&dialog);
    auto *ok = new QPushButton(QStringLiteral("OK"), &dialog);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    auto *layout = new QVBoxLayout(&dialog);
    layout->addWidget(field);
    layout->addWidget(ok);
    dialog.show();
    dialog.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    field->setFocus(Qt::OtherFocusReason);

    field->selectAll();
    play(field, "1f{Enter}");
    QVERIFY(dialog.isVisible()); // Enter stays in the field
    QCOMPARE(field->text(), QStringLiteral("1F"));
    play(field, "2{Esc}");
    QVERIFY(dialog.isVisible()); // Escape first undoes the typing
    QCOMPARE(field->text(), QStringLiteral("1F"));
    play(field, "{Esc}");
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
}

void tst_entryfields::invalidTextKeepsFocus()
{
    NumEditWindow w;
    QVERIFY(w.ready());
    w.field->selectAll();
    play(w.field, "12G4{Tab}");
    QTRY_VERIFY(w.field->hasFocus());
    QCOMPARE(w.field->selectedText(), QStringLiteral("G"));
    QCOMPARE(w.field->State(), TAbNumEdit::EditState::Invalid);

    // A field disabled while invalid lets the focus go.
    w.field->setEnabled(false);
    QTRY_VERIFY(!w.field->hasFocus());
    QTest::qWait(20);
    QVERIFY(!w.field->hasFocus());
}

QTEST_MAIN(tst_entryfields)
#include "tst_entryfields.moc"
