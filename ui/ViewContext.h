#pragma once

class ProcessObjects;
class Prompter;
class QtDesktop;

// What the views of the main frame share: the process-wide objects (store,
// filter, block lists, operation semaphore, proxy flags), the Desktop that the
// core talks through, and the seam for questions and messages.
struct ViewContext {
    ProcessObjects& objects;
    QtDesktop& desktop;
    Prompter& prompter;
};
