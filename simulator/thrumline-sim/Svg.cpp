#include "simulator/thrumline-sim/Svg.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "simulator/thrumline-sim/Bursts.h"
#include "simulator/thrumline-sim/Format.h"
#include "simulator/thrumline-sim/Render.h"
#include "simulator/thrumline-sim/Scenario.h"
#include "simulator/thrumline-sim/SvgText.h"
#include "tweak/settings/Contract.h"

namespace thrumline::simtool {

using sim::PlistValue;

namespace {

constexpr double kWidth = 1200;
constexpr double kLeft = 130;  // room for the lane labels
constexpr double kRight = 30;
constexpr double kPlot = kWidth - kLeft - kRight;
constexpr double kCharWidth = 6.6;  // 11px monospace
constexpr int kMaxLabelRows = 24;
constexpr std::size_t kMaxPatternRows = 100;
constexpr double kPatternRowHeight = 34;

constexpr double kPulseHalfWidth = 5;  // a classic pulse's diamond in the detail panel

// "call connected: " before a burst's description; nothing when unknown.
std::string causeOf(const Burst& burst) {
    return burst.cause.empty() ? std::string() : burst.cause + ": ";
}

// A scenario line as a mark on the picture.
struct Mark {
    std::uint64_t t_ns;
    int line;
    std::string text;
    bool failed;
};

struct Span {
    std::uint64_t from;
    std::uint64_t to;
    int process;
    std::string label;
};

// The picture of one run: what to draw is gathered first, so the scale and
// the height are known before anything is written.
class Picture {
public:
    Picture(const std::vector<Entry>& entries, std::uint64_t endNs);
    std::string draw(const std::string& title);

private:
    void gather(const Entry& entry);
    void gatherEvent(const sim::Event& e);
    void placeLabels();
    double x(std::uint64_t t) const {
        return kLeft + kPlot * static_cast<double>(t) / static_cast<double>(span_);
    }
    void laneLabel(double y, const std::string& text);
    void header(const std::string& title, double height);
    void commandMarks();
    void processBands();
    void vibrationBars();
    void pulseMarkers();
    void timeAxis();
    void patternPanel();
    void patternRow(const Burst& burst, double top, double perNano);
    void classicRow(const DetailRow& row, double top, double perNano);
    std::size_t patternRows() const { return std::min(rows_.size(), kMaxPatternRows); }

    std::uint64_t endNs_;
    std::uint64_t span_;
    std::vector<Mark> commands_;
    BurstCollector bursts_;
    const std::vector<Burst>& vibrations_ = bursts_.vibrations();
    const std::vector<Burst>& pulses_ = bursts_.pulses();
    std::vector<DetailRow> rows_;  // the detail panel's
    std::vector<Span> processes_;
    // Label placement of each command: its row (-1: no room) and side.
    std::vector<int> rowOf_;
    std::vector<bool> leftwardOf_;
    std::size_t labelRows_ = 0;
    // Vertical layout.
    double labelsTop_ = 62;
    double rowHeight_ = 14;
    double processLane_ = 0;
    double vibrateLane_ = 0;
    double soundLane_ = 0;
    double axisY_ = 0;
    double panelTop_ = 0;
    std::ostringstream svg_;
};

Picture::Picture(const std::vector<Entry>& entries, std::uint64_t endNs)
    : endNs_(endNs), span_(std::max<std::uint64_t>(endNs, 1000000000ULL)) {
    for (const Entry& entry : entries) gather(entry);
    rows_ = bursts_.detailRows();
    for (Span& s : processes_) {
        if (s.to == endNs_) s.to = span_;  // still running when the scenario ended
    }
    placeLabels();
    processLane_ =
        labelsTop_ + rowHeight_ * static_cast<double>(std::max<std::size_t>(labelRows_, 1)) + 10;
    vibrateLane_ = processLane_ + 28;
    soundLane_ = vibrateLane_ + 44;
    axisY_ = soundLane_ + 44;
    panelTop_ = axisY_ + 52;
}

void Picture::gather(const Entry& entry) {
    bursts_.add(entry);
    if (const auto* c = std::get_if<CommandRan>(&entry)) {
        commands_.push_back({c->t_ns, c->line, c->text, false});
    } else if (const auto* x = std::get_if<ExpectChecked>(&entry)) {
        commands_.push_back({x->t_ns, x->line, x->text, !x->ok});
    } else if (const auto* l = std::get_if<LibraryLoaded>(&entry)) {
        if (!processes_.empty() && processes_.back().process == l->process) {
            processes_.back().label += " \u00B7 " + l->group;
        }
    } else if (const auto* e = std::get_if<sim::Event>(&entry)) {
        gatherEvent(*e);
    }
}

void Picture::gatherEvent(const sim::Event& e) {
    if (const auto* set = e.get<sim::events::ActiveCallSet>()) {
        // The calls a telephony line announced follow its label.
        if (!commands_.empty()) {
            commands_.back().text += " -> " + (set->call.empty() ? "nil" : set->call);
        }
    } else if (const auto* v = e.get<sim::events::Vibrate>()) {
        span_ = std::max(span_, e.t_ns + requestNanos(v->request));
    } else if (const auto* started = e.get<sim::events::ProcessStarted>()) {
        processes_.push_back({e.t_ns, endNs_, e.process,
                              "process " + std::to_string(e.process) + " \u00B7 cf " +
                                  sim::formatReal(started->coreFoundationVersion)});
    } else if (e.kind() == sim::EventKind::ProcessEnded) {
        for (Span& s : processes_) {
            if (s.process == e.process) s.to = e.t_ns;
        }
    }
}

// Command labels go to the first row where they do not run into the
// previous label.
void Picture::placeLabels() {
    std::vector<double> rowEnds;
    for (const Mark& command : commands_) {
        const std::string text = shorten(command.text, 30);
        const double width = kCharWidth * static_cast<double>(text.size()) + 8;
        const double mark = x(command.t_ns);
        // Near the right edge a label ends at its mark instead of starting there.
        const bool leftward = mark + width > kWidth - 4;
        const double start = leftward ? mark - width : mark;
        std::size_t row = 0;
        while (row < rowEnds.size() && rowEnds[row] > start) ++row;
        if (row >= static_cast<std::size_t>(kMaxLabelRows)) {
            // No room left: the mark stays, its label shows only as a tooltip.
            rowOf_.push_back(-1);
            leftwardOf_.push_back(false);
            continue;
        }
        if (row >= rowEnds.size()) rowEnds.resize(row + 1, 0);
        rowEnds[row] = start + width;
        rowOf_.push_back(static_cast<int>(row));
        leftwardOf_.push_back(leftward);
    }
    labelRows_ = rowEnds.size();
}

void Picture::laneLabel(double y, const std::string& text) {
    svg_ << "<text class=\"lane\" x=\"16\" y=\"" << num(y) << "\">" << escape(text) << "</text>\n";
}

std::string Picture::draw(const std::string& title) {
    const double height =
        panelTop_ + 30 +
        kPatternRowHeight * static_cast<double>(std::max<std::size_t>(patternRows(), 1)) +
        (rows_.size() > kMaxPatternRows ? 20 : 0) + 20;
    header(title, height);
    commandMarks();
    processBands();
    vibrationBars();
    pulseMarkers();
    timeAxis();
    patternPanel();
    svg_ << "</svg>\n";
    return svg_.str();
}

void Picture::header(const std::string& title, double height) {
    svg_ << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << num(kWidth) << "\" height=\""
         << num(height) << "\" viewBox=\"0 0 " << num(kWidth) << " " << num(height)
         << "\" font-family=\"DejaVu Sans, sans-serif\">\n"
         << kSvgStyle << "<rect x=\"0\" y=\"0\" width=\"" << num(kWidth) << "\" height=\""
         << num(height) << "\" fill=\"#ffffff\"/>\n";

    svg_ << "<text class=\"title\" x=\"16\" y=\"28\">" << escape("thrumline-sim: " + title)
         << "</text>\n";
    svg_ << "<text class=\"note\" x=\"16\" y=\"46\">"
         << escape(std::to_string(vibrations_.size()) +
                   (vibrations_.size() == 1 ? " vibration pattern, " : " vibration patterns, ") +
                   std::to_string(pulses_.size()) +
                   (pulses_.size() == 1 ? " classic pulse" : " classic pulses") + " in " +
                   formatDuration(endNs_) + " of virtual time")
         << "</text>\n";
    // Lane labels and guides.
    laneLabel(processLane_ + 12, "process");
    laneLabel(vibrateLane_ + 20, "vibrate (" + std::to_string(THRUMLINE_VIBRATE_SOUND) + ")");
    laneLabel(soundLane_ + 20, "sound (" + std::to_string(THRUMLINE_CLASSIC_SOUND) + ")");
    for (double y : {vibrateLane_ + 30, soundLane_ + 30}) {
        svg_ << "<line x1=\"" << num(kLeft) << "\" y1=\"" << num(y) << "\" x2=\""
             << num(kLeft + kPlot) << "\" y2=\"" << num(y) << "\" stroke=\"#dee2e6\"/>\n";
    }
}

// Commands: a dashed mark through the lanes and a label above them.
void Picture::commandMarks() {
    for (std::size_t i = 0; i < commands_.size(); ++i) {
        const Mark& command = commands_[i];
        const double cx = x(command.t_ns);
        const bool labelled = rowOf_[i] >= 0;
        const double labelY =
            labelsTop_ +
            rowHeight_ * static_cast<double>(labelled ? rowOf_[i] : kMaxLabelRows - 1) + 10;
        const bool failed = command.failed;
        const std::string tip = "line " + std::to_string(command.line) + ": " + command.text;
        svg_ << "<line x1=\"" << num(cx) << "\" y1=\"" << num(labelY + 3) << "\" x2=\"" << num(cx)
             << "\" y2=\"" << num(axisY_) << "\" stroke=\"" << (failed ? "#ff8787" : "#ced4da")
             << "\" stroke-dasharray=\"3 3\"/>\n";
        svg_ << "<circle cx=\"" << num(cx) << "\" cy=\"" << num(labelY - 4)
             << "\" r=\"2.5\" fill=\"" << (failed ? "#c92a2a" : "#868e96") << "\"><title>"
             << escape(tip) << "</title></circle>\n";
        if (!labelled) continue;
        svg_ << "<text class=\"" << (failed ? "cmdfail" : "cmd") << "\" x=\""
             << num(leftwardOf_[i] ? cx - 5 : cx + 5) << "\" y=\"" << num(labelY) << "\""
             << (leftwardOf_[i] ? " text-anchor=\"end\"" : "") << "><title>" << escape(tip)
             << "</title>" << escape(shorten(command.text, 30)) << "</text>\n";
    }
}

// Processes: a band for the time each one ran.
void Picture::processBands() {
    for (const Span& s : processes_) {
        const double x1 = x(s.from);
        const double w = std::max(x(s.to) - x1, 2.0);
        svg_ << "<rect x=\"" << num(x1) << "\" y=\"" << num(processLane_) << "\" width=\"" << num(w)
             << "\" height=\"16\" rx=\"3\" fill=\"#e7f5ff\" stroke=\"#a5d8ff\"/>\n";
        svg_ << "<text class=\"note\" x=\"" << num(x1 + 4) << "\" y=\"" << num(processLane_ + 12)
             << "\">"
             << escape(shorten(s.label, static_cast<std::size_t>(std::max(w - 8, 0.0) / 6.0)))
             << "</text>\n";
    }
}

// Vibrations: every on-step as a bar at its own time.
void Picture::vibrationBars() {
    for (const Burst& burst : vibrations_) {
        std::vector<PatternStepView> steps;
        const std::string tip = formatTime(burst.t_ns) + " " + causeOf(burst) + "vibrate ";
        if (!readPattern(burst.request, steps)) {
            svg_ << "<text x=\"" << num(x(burst.t_ns) - 3) << "\" y=\"" << num(vibrateLane_ + 20)
                 << "\" fill=\"#c92a2a\" font-size=\"14\"><title>"
                 << escape(tip + burst.request.describe()) << "</title>?</text>\n";
            continue;
        }
        svg_ << "<g><title>" << escape(tip + patternDrawing(steps)) << "</title>\n";
        std::uint64_t offset = 0;
        for (const PatternStepView& step : steps) {
            const std::uint64_t length =
                step.ms > 0 ? static_cast<std::uint64_t>(step.ms) * 1000000ULL : 0;
            if (step.on) {
                const double x1 = x(burst.t_ns + offset);
                const double w = std::max(x(burst.t_ns + offset + length) - x1, 1.5);
                svg_ << "  <rect x=\"" << num(x1) << "\" y=\"" << num(vibrateLane_ + 6)
                     << "\" width=\"" << num(w)
                     << "\" height=\"24\" fill=\"#e8590c\" fill-opacity=\"0.8\"/>\n";
            }
            offset += length;
        }
        svg_ << "</g>\n";
    }
}

// Classic pulses: a diamond each, and a count where several fall on nearly
// the same spot.
void Picture::pulseMarkers() {
    for (std::size_t i = 0; i < pulses_.size();) {
        std::size_t j = i + 1;
        while (j < pulses_.size() && x(pulses_[j].t_ns) - x(pulses_[i].t_ns) < 8) ++j;
        if (j - i > 1) {
            svg_ << "<text class=\"note\" x=\"" << num(x(pulses_[i].t_ns) + 8) << "\" y=\""
                 << num(soundLane_ + 8) << "\">\u00D7" << (j - i) << "</text>\n";
        }
        i = j;
    }
    for (const Burst& burst : pulses_) {
        const double cx = x(burst.t_ns);
        const double cy = soundLane_ + 18;
        svg_ << "<path d=\"M" << num(cx) << " " << num(cy - 8) << " L" << num(cx + 6) << " "
             << num(cy) << " L" << num(cx) << " " << num(cy + 8) << " L" << num(cx - 6) << " "
             << num(cy) << " Z\" fill=\"#1c7ed6\"><title>"
             << escape(formatTime(burst.t_ns) + " " + causeOf(burst) + "sound " +
                       std::to_string(burst.sound))
             << "</title></path>\n";
    }
}

void Picture::timeAxis() {
    svg_ << "<line x1=\"" << num(kLeft) << "\" y1=\"" << num(axisY_) << "\" x2=\""
         << num(kLeft + kPlot) << "\" y2=\"" << num(axisY_) << "\" stroke=\"#343a40\"/>\n";
    const std::uint64_t step = tickStep(span_);
    for (std::uint64_t t = 0; t <= span_; t += step) {
        const double tx = x(t);
        svg_ << "<line x1=\"" << num(tx) << "\" y1=\"" << num(axisY_) << "\" x2=\"" << num(tx)
             << "\" y2=\"" << num(axisY_ + 6) << "\" stroke=\"#343a40\"/>\n";
        svg_ << "<text class=\"tick\" x=\"" << num(tx) << "\" y=\"" << num(axisY_ + 20)
             << "\" text-anchor=\"middle\">" << tickLabel(t, step) << "</text>\n";
        if (span_ - t < step) break;
    }
    laneLabel(axisY_ + 20, "virtual time");
}

// Each pattern again, on one shared millisecond scale, with its steps.
// Each vibration and each cause's classic pulses again, on one shared
// millisecond scale, with their steps and gaps.
void Picture::patternPanel() {
    svg_ << "<text class=\"lane\" x=\"16\" y=\"" << num(panelTop_) << "\" font-weight=\"bold\">"
         << "Vibrations in detail</text>\n";
    std::uint64_t longest = 1;
    for (std::size_t i = 0; i < patternRows(); ++i) longest = std::max(longest, rows_[i].nanos());
    if (!rows_.empty()) {
        svg_ << "<text class=\"note\" x=\"" << num(kLeft + kPlot) << "\" y=\"" << num(panelTop_)
             << "\" text-anchor=\"end\">"
             << escape("one scale for all: the full width is " +
                       std::to_string(longest / 1000000ULL) + " ms")
             << "</text>\n";
    } else {
        svg_ << "<text class=\"note\" x=\"" << num(kLeft) << "\" y=\"" << num(panelTop_ + 30)
             << "\">no vibration patterns or classic pulses were played</text>\n";
    }
    const double perNano = (kPlot - 2 * kPulseHalfWidth) / static_cast<double>(longest);
    for (std::size_t i = 0; i < patternRows(); ++i) {
        const DetailRow& row = rows_[i];
        const double top = panelTop_ + 16 + kPatternRowHeight * static_cast<double>(i);
        laneLabel(top + 12, trimmed(formatTime(row.t_ns)));
        svg_ << "<text class=\"note\" x=\"16\" y=\"" << num(top + 26) << "\">"
             << escape(shorten(row.cause, 17)) << "</text>\n";
        if (row.vibration != nullptr) {
            patternRow(*row.vibration, top, perNano);
        } else {
            classicRow(row, top, perNano);
        }
    }
    if (rows_.size() > kMaxPatternRows) {
        svg_ << "<text class=\"note\" x=\"" << num(kLeft) << "\" y=\""
             << num(panelTop_ + 16 + kPatternRowHeight * static_cast<double>(patternRows()) + 12)
             << "\">" << (rows_.size() - kMaxPatternRows) << " more not drawn</text>\n";
    }
}

// A cause's classic pulses as diamonds at their offsets, the gaps between
// them marked and labelled in ms.
void Picture::classicRow(const DetailRow& row, double top, double perNano) {
    double previous = 0;
    for (std::size_t i = 0; i < row.pulses.size(); ++i) {
        const double cx = kLeft + kPulseHalfWidth + static_cast<double>(row.pulses[i]) * perNano;
        if (i > 0) {
            const std::string label = std::to_string((row.pulses[i] - row.pulses[i - 1]) / 1000000);
            svg_ << "<line x1=\"" << num(previous) << "\" y1=\"" << num(top + 8) << "\" x2=\""
                 << num(cx) << "\" y2=\"" << num(top + 8)
                 << "\" stroke=\"#adb5bd\" stroke-dasharray=\"2 2\"/>\n";
            if (cx - previous >=
                6.0 * static_cast<double>(label.size()) + 2 + 2 * kPulseHalfWidth) {
                svg_ << "<text class=\"gap\" x=\"" << num((previous + cx) / 2) << "\" y=\""
                     << num(top + 26) << "\" text-anchor=\"middle\">" << label << "</text>\n";
            }
        }
        svg_ << diamond(cx, top + 8, kPulseHalfWidth) << "\n";
        previous = cx;
    }
}

void Picture::patternRow(const Burst& burst, double top, double perNano) {
    std::vector<PatternStepView> steps;
    if (!readPattern(burst.request, steps)) {
        svg_ << "<text class=\"note\" x=\"" << num(kLeft) << "\" y=\"" << num(top + 12) << "\">"
             << escape("not a step list: " + burst.request.describe()) << "</text>\n";
        return;
    }
    double cursor = kLeft;
    for (const PatternStepView& step : steps) {
        const double w = step.ms > 0 ? static_cast<double>(step.ms) * 1e6 * perNano : 0;
        const std::string label = std::to_string(step.ms);
        const bool fits = w >= 6.0 * static_cast<double>(label.size()) + 2;
        if (step.on) {
            svg_ << "<rect x=\"" << num(cursor) << "\" y=\"" << num(top + 2) << "\" width=\""
                 << num(std::max(w, 1.5)) << "\" height=\"12\" fill=\"#e8590c\"/>\n";
        } else {
            svg_ << "<line x1=\"" << num(cursor) << "\" y1=\"" << num(top + 8) << "\" x2=\""
                 << num(cursor + w) << "\" y2=\"" << num(top + 8)
                 << "\" stroke=\"#adb5bd\" stroke-dasharray=\"2 2\"/>\n";
        }
        if (fits) {
            svg_ << "<text class=\"" << (step.on ? "step" : "gap") << "\" x=\""
                 << num(cursor + w / 2) << "\" y=\"" << num(top + 26)
                 << "\" text-anchor=\"middle\">" << label << "</text>\n";
        }
        cursor += w;
    }
}

}  // namespace

std::string svgTimeline(const std::vector<Entry>& entries, std::uint64_t endNs,
                        const std::string& title) {
    return Picture(entries, endNs).draw(title);
}

}  // namespace thrumline::simtool
