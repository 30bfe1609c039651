// The paged usage text.
#pragma once

constexpr int kPagerWidth = 78;
constexpr int kPagerPage = 22;

// Where the pager's output goes; injectable so the layout can be tested.
struct Pager {
  bool interactive;  // standard output is a console: pause after every page
  int count;         // lines since the start or the last pause
  int page;
  int width;
  void (*write)(const char* text);  // prints text as it is
  void (*flush)();
  int (*readKey)();
};

// A pager on standard output with the console flag and key reader of the platform.
Pager ConsolePager();

// Prints text as one or more lines of at most width characters.
void PagerPrintLine(Pager* pager, const char* text);

// The whole help text through pager.
void PrintHelpTo(Pager* pager);

// The help text on standard output, paged on a console.
void PrintHelp();
