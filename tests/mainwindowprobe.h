#pragma once
// The tests' view of the main window: its controls, exchanges and typed state,
// which the window keeps private.

#include "protocol/createexchange.h"
#include "protocol/listexchange.h"
#include "protocol/postexchange.h"
#include "ui/busystate.h"
#include "ui/directory.h"
#include "ui/mainwindow.h"

class QLabel;

struct MainWindowProbe
{
    static ListWidget *directoryList(const MainWindow &w) { return w.m_directoryList; }
    static QLabel *createHeader(const MainWindow &w) { return w.m_createHeader; }
    static LineEdit *forumNameEdit(const MainWindow &w) { return w.m_forumNameEdit; }
    static PictureButton *createButton(const MainWindow &w) { return w.m_createButton; }
    static PictureButton *clearNameButton(const MainWindow &w) { return w.m_clearNameButton; }
    static QFrame *separator(const MainWindow &w) { return w.m_separator; }
    static QLabel *postHeader(const MainWindow &w) { return w.m_postHeader; }
    static QLabel *titleCaption(const MainWindow &w) { return w.m_titleCaption; }
    static LineEdit *titleEdit(const MainWindow &w) { return w.m_titleEdit; }
    static PictureButton *stampOption(const MainWindow &w) { return w.m_stampOption; }
    static ClickLabel *stampLabel(const MainWindow &w) { return w.m_stampLabel; }
    static QLabel *bodyCaption(const MainWindow &w) { return w.m_bodyCaption; }
    static PlainTextEdit *bodyEdit(const MainWindow &w) { return w.m_bodyEdit; }
    static QLabel *toolbarStrip(const MainWindow &w) { return w.m_toolbarStrip; }
    static PictureButton *boldButton(const MainWindow &w) { return w.m_boldButton; }
    static PictureButton *underlineButton(const MainWindow &w) { return w.m_underlineButton; }
    static PictureButton *italicButton(const MainWindow &w) { return w.m_italicButton; }
    static PictureButton *linkButton(const MainWindow &w) { return w.m_linkButton; }
    static PictureButton *imageButton(const MainWindow &w) { return w.m_imageButton; }
    static PictureButton *previewButton(const MainWindow &w) { return w.m_previewButton; }
    static PictureButton *clearMessageButton(const MainWindow &w) { return w.m_clearMessageButton; }
    static PictureButton *postButton(const MainWindow &w) { return w.m_postButton; }
    static HtmlView *pageView(const MainWindow &w) { return w.m_pageView; }
    static QTimer *refreshTimer(const MainWindow &w) { return w.m_directory->refreshTimer(); }

    static Directory *directory(const MainWindow &w) { return w.m_directory; }
    static Composer *composer(const MainWindow &w) { return w.m_composer; }
    static ListExchange *listExchange(const MainWindow &w) { return w.m_directory->exchange(); }
    static CreateExchange *createExchange(const MainWindow &w) { return w.m_createExchange; }
    static PostExchange *postExchange(const MainWindow &w) { return w.m_composer->exchange(); }

    static const ButtonFaces &faces(const MainWindow &w) { return w.m_faces; }
    static ToolbarState &toolbar(MainWindow &w) { return w.m_composer->m_toolbar; }
    // Bold, italic, underline, link: true where the tag's closing is due.
    static QList<bool> tagsAwaitingClose(const MainWindow &w)
    {
        return {w.m_composer->m_toolbar.awaitingClose(PairedTag::Bold), w.m_composer->m_toolbar.awaitingClose(PairedTag::Italic),
                w.m_composer->m_toolbar.awaitingClose(PairedTag::Underline), w.m_composer->m_toolbar.awaitingClose(PairedTag::Link)};
    }
    static bool stampWanted(const MainWindow &w) { return w.m_composer->m_stampWanted; }
    static PostDraft &draft(MainWindow &w) { return w.m_composer->m_draft; }

    // What the refresh timer does when it fires.
    static void refreshDirectory(MainWindow &w) { w.m_directory->refresh(); }
    static void enterBusy(MainWindow &w) { w.m_busy->enter(); }
    static void leaveBusy(MainWindow &w) { w.m_busy->leave(); }
};
