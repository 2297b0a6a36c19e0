#include "app/mainlayout.h"

#include "common/apperror.h"
#include "common/convert.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
// A product stored into a 32-bit whole number, rounded half to even.
long long ToLong(double v) {
    if (!std::isfinite(v) || v > std::numeric_limits<qint32>::max() + 0.5 ||
        v < std::numeric_limits<qint32>::min() - 0.5)
        Raise(Err::Overflow);
    return RoundHalfEven(v);
}
}  // namespace

MainGeometry DesignGeometry() {
    MainGeometry g;
    g.FSplitter = {2520, 1450, 135, 6840};
    g.Splitter = {6480, 1450, 105, 6735};
    g.BevelFolder = {0, 1450, 2535, 6855};
    g.TxtFolderHeader = {120, 1560, 2415, 375};
    g.txtLocalHeader = {2640, 1560, 3840, 375};
    g.txtRemoteHeader = {6600, 1560, 5175, 375};
    g.FolderTreeview = {120, 1920, 2415, 5820};
    g.FileListView = {2640, 1920, 3840, 5895};
    g.RemoteFilesLV = {6600, 1920, 5175, 5895};
    g.StatusBar1 = {0, 7980, 12000, 375};
    g.frameXfer = {2820, 3840, 6855, 1575};
    return g;
}

LayoutSizes ComputeSizes(double W, double H, double splitRatio, double folderSplitRatio) {
    LayoutSizes s;
    s.halfH = ToLong(H / 2);
    s.halfW = ToLong(W / 2);
    s.leftW = ToLong(W * splitRatio);
    s.rightW = W - s.leftW <= 240 ? 241 : ToLong(W - s.leftW);
    s.treeW = ToLong(folderSplitRatio * s.leftW);
    return s;
}

bool LayoutPass(MainGeometry& g, double W, double H, double splitRatio, double folderSplitRatio) {
    const LayoutSizes s = ComputeSizes(W, H, splitRatio, folderSplitRatio);
    if (H <= 3000 || s.leftW <= 2000) return false;
    const double SB = g.StatusBar1.height;
    const double T = g.RemoteFilesLV.top;
    const double paneHeight = H - SB - T - 60;

    g.txtRemoteHeader.width = s.rightW - 240;
    g.txtRemoteHeader.left = s.leftW + 120;
    g.RemoteFilesLV.width = s.rightW - 240;
    g.RemoteFilesLV.left = s.leftW + 120;
    g.RemoteFilesLV.height = paneHeight;
    g.BevelFolder.height = H - g.Splitter.top - SB;
    g.BevelFolder.width = W;
    g.TxtFolderHeader.left = 120;
    g.TxtFolderHeader.width = s.treeW - 240;
    g.FolderTreeview.left = 120;
    g.FolderTreeview.width = s.treeW - 120;
    g.FolderTreeview.height = paneHeight;
    g.txtLocalHeader.left = g.TxtFolderHeader.width + 360;
    g.txtLocalHeader.width = (s.leftW - 120) - g.TxtFolderHeader.width - 240;
    g.FileListView.width = (s.leftW - 120) - g.TxtFolderHeader.width - 240;
    g.FileListView.height = paneHeight;
    g.FileListView.left = g.TxtFolderHeader.width + 240;
    g.FSplitter.left = s.treeW - g.FSplitter.width / 2;
    g.FSplitter.height = H - g.FSplitter.top - SB;
    g.Splitter.left = s.leftW - g.Splitter.width / 2;
    g.Splitter.height = H - g.Splitter.top - SB;
    g.frameXfer.left = s.halfW - g.frameXfer.width / 2;
    g.frameXfer.top = s.halfH - g.frameXfer.height / 2;
    return true;
}

float SplitterDropRatio(const MainGeometry& g, double X, double W) {
    return static_cast<float>((g.Splitter.width / 2 + X) / W);
}

float FolderSplitterDropRatio(const MainGeometry& g, double X) {
    return static_cast<float>((g.FSplitter.width / 2 + X) / (g.FileListView.left + g.FileListView.width));
}

void ClampRatios(double W, float& splitRatio, float& folderSplitRatio) {
    if (!(W > 0)) return;
    // The pass needs leftW above 2000; the tree header is treeW - 240 wide,
    // the local list leftW - treeW - 120, the machine list rightW - 240.
    // One twip inside each limit, so that rounding cannot cross it.
    const double minLeft = std::max(2001.0, 360 + 2 * kMinPaneWidth) + 1;
    const double maxLeft = W - 240 - kMinPaneWidth - 1;
    const double split = std::clamp<double>(splitRatio, minLeft / W, std::max(minLeft, maxLeft) / W);
    splitRatio = static_cast<float>(split);
    const double leftW = static_cast<double>(ToLong(W * splitRatio));
    const double minTree = 240 + kMinPaneWidth + 1;
    const double maxTree = leftW - 120 - kMinPaneWidth - 1;
    folderSplitRatio = static_cast<float>(
        std::clamp<double>(folderSplitRatio, minTree / leftW, std::max(minTree, maxTree) / leftW));
}

int TwipsToPixels(double twips) { return static_cast<int>(std::lround(twips / 15.0)); }
double PixelsToTwips(int pixels) { return pixels * 15.0; }
