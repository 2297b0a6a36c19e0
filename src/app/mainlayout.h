#pragma once
// The main window's arrangement in twips (15 twips to a pixel at 96 dpi):
// the design-time geometry and the layout pass that resizing and dropping a
// splitter bar run. Pure arithmetic, so that it can be checked with numbers.

struct TwipsRect {
    double left = 0, top = 0, width = 0, height = 0;
};

// The controls that the layout pass moves, and the ones it reads.
struct MainGeometry {
    TwipsRect BevelFolder, TxtFolderHeader, txtLocalHeader, txtRemoteHeader;
    TwipsRect FolderTreeview, FileListView, RemoteFilesLV;
    TwipsRect FSplitter, Splitter, StatusBar1, frameXfer;
};

// Inner size of the window at design time.
constexpr double kDesignWidth = 12000;
constexpr double kDesignHeight = 8355;

MainGeometry DesignGeometry();

// Values every pass derives first.
struct LayoutSizes {
    long long halfW = 0, halfH = 0, leftW = 0, rightW = 0, treeW = 0;
};
// Raises AppError 6 when a product does not fit a 32-bit whole number.
LayoutSizes ComputeSizes(double W, double H, double splitRatio, double folderSplitRatio);

// The layout pass on an inner size of W x H twips. Returns false and leaves
// g untouched when the window is too small (H <= 3000 or leftW <= 2000).
bool LayoutPass(MainGeometry& g, double W, double H, double splitRatio, double folderSplitRatio);

// New ratios for a splitter bar dropped at X (twips from the window's left).
float SplitterDropRatio(const MainGeometry& g, double X, double W);
float FolderSplitterDropRatio(const MainGeometry& g, double X);

// The narrowest a pane (folder tree, local list, machine list) may become
// through a splitter drop.
constexpr double kMinPaneWidth = 600;
// Brings both ratios into the range where, on an inner width of W, the pass
// runs and every pane keeps kMinPaneWidth (a window too narrow for that
// favours the local side).
void ClampRatios(double W, float& splitRatio, float& folderSplitRatio);

// Twips to whole pixels, and back.
int TwipsToPixels(double twips);
double PixelsToTwips(int pixels);
