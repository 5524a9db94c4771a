#include "render_args.h"

#include <QMetaEnum>

#include <map>
#include <optional>

using namespace LevelBar;

namespace {

std::optional<TColor> ParseColour(const QString& text) {
    bool ok = false;
    qulonglong value = 0;
    if (text.startsWith("0x", Qt::CaseInsensitive))
        value = text.mid(2).toULongLong(&ok, 16);
    else if (!text.isEmpty() && text[0].isDigit())
        value = text.toULongLong(&ok, 10);
    if (!ok || value > 0xFFFFFFFFull) return std::nullopt;
    return TColor(value);
}

std::optional<int> ParseInt(const QString& text) {
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? std::optional<int>(value) : std::nullopt;
}

std::optional<bool> ParseBool(const QString& text) {
    if (text == "true") return true;
    if (text == "false") return false;
    return std::nullopt;
}

template <typename Enum>
std::optional<Enum> ParseEnum(const QString& text) {
    bool ok = false;
    const int value = QMetaEnum::fromType<Enum>().keyToValue(text.toLatin1().constData(), &ok);
    return ok ? std::optional<Enum>(static_cast<Enum>(value)) : std::nullopt;
}

template <typename Enum>
QString EnumNames() {
    const QMetaEnum meta = QMetaEnum::fromType<Enum>();
    QStringList names;
    for (int i = 0; i < meta.keyCount(); ++i) names << meta.key(i);
    return names.join(", ");
}

using Write = std::function<void(TLevelBar&)>;
// Turns a value text into a write, or gives the expected form on failure.
using Setter = std::function<std::optional<Write>(const QString&)>;
struct Property {
    Setter parse;
    QString expected;
};

template <typename T, typename Parse>
Property Make(Parse parse, void (TLevelBar::*set)(T), QString expected) {
    return {[parse, set](const QString& text) -> std::optional<Write> {
                const auto value = parse(text);
                if (!value) return std::nullopt;
                const auto v = *value;
                return Write([set, v](TLevelBar& bar) { (bar.*set)(v); });
            },
            expected};
}

Property IntProperty(void (TLevelBar::*set)(int)) {
    return Make<int>(ParseInt, set, "a decimal integer");
}
Property BoolProperty(void (TLevelBar::*set)(bool)) {
    return Make<bool>(ParseBool, set, "true or false");
}
Property ColourProperty(void (TLevelBar::*set)(TColor)) {
    return Make<TColor>(ParseColour, set, "a colour, decimal or 0xBBGGRR");
}
template <typename Enum>
Property EnumProperty(void (TLevelBar::*set)(Enum)) {
    return Make<Enum>(ParseEnum<Enum>, set, "one of " + EnumNames<Enum>());
}

const std::map<QString, Property>& Properties() {
    static const std::map<QString, Property> table = {
        {"width", IntProperty(&TLevelBar::setWidth)},
        {"height", IntProperty(&TLevelBar::setHeight)},
        {"orientation", EnumProperty(&TLevelBar::setOrientation)},
        {"barKind", EnumProperty(&TLevelBar::setBarKind)},
        {"barLook", EnumProperty(&TLevelBar::setBarLook)},
        {"roundCorner", BoolProperty(&TLevelBar::setRoundCorner)},
        {"backgroundColor", ColourProperty(&TLevelBar::setBackgroundColor)},
        {"barColor", ColourProperty(&TLevelBar::setBarColor)},
        {"startColor", ColourProperty(&TLevelBar::setStartColor)},
        {"finalColor", ColourProperty(&TLevelBar::setFinalColor)},
        {"showInactivePos", BoolProperty(&TLevelBar::setShowInactivePos)},
        {"invertInactPos", BoolProperty(&TLevelBar::setInvertInactPos)},
        {"inactivePosColor", ColourProperty(&TLevelBar::setInactivePosColor)},
        {"shaped", BoolProperty(&TLevelBar::setShaped)},
        {"shapeColor", ColourProperty(&TLevelBar::setShapeColor)},
        {"blockSize", IntProperty(&TLevelBar::setBlockSize)},
        {"spaceSize", IntProperty(&TLevelBar::setSpaceSize)},
        {"showFullBlock", BoolProperty(&TLevelBar::setShowFullBlock)},
        {"maximum", IntProperty(&TLevelBar::setMaximum)},
        {"position", IntProperty(&TLevelBar::setPosition)},
        {"captionAlign", EnumProperty(&TLevelBar::setCaptionAlign)},
        {"AutoCaption", BoolProperty(&TLevelBar::setAutoCaption)},
        {"ShowPosAsPct", BoolProperty(&TLevelBar::setShowPosAsPct)},
        {"caption",
         {[](const QString& text) -> std::optional<Write> {
              return Write([text](TLevelBar& bar) { bar.setCaption(text); });
          },
          "a text"}},
    };
    return table;
}

}  // namespace

bool ParseRenderArgs(const QStringList& args, RenderJob& job, QString& error) {
    if (args.isEmpty() || args[0].contains('=')) {
        error = "usage: levelbar-render OUT.png [meter] [name=value ...]";
        return false;
    }
    job.outPath = args[0];
    int next = 1;
    if (args.size() > 1 && args[1] == "meter") {
        job.meter = true;
        next = 2;
    }
    for (int i = next; i < args.size(); ++i) {
        const QString& arg = args[i];
        const qsizetype eq = arg.indexOf('=');
        if (eq <= 0) {
            error = QString("expected name=value, got '%1'").arg(arg);
            return false;
        }
        const QString name = arg.left(eq);
        const QString value = arg.mid(eq + 1);
        if (name == "fill") {
            const auto colour = ParseColour(value);
            if (!colour) {
                error = QString("bad value '%1' for fill: expected a colour, decimal or 0xBBGGRR")
                            .arg(value);
                return false;
            }
            job.fill = ToPixel(*colour);
            continue;
        }
        const auto found = Properties().find(name);
        if (found == Properties().end()) {
            error = QString("unknown property '%1'").arg(name);
            return false;
        }
        auto write = found->second.parse(value);
        if (!write) {
            error = QString("bad value '%1' for %2: expected %3")
                        .arg(value, name, found->second.expected);
            return false;
        }
        job.writes.push_back(std::move(*write));
    }
    return true;
}
