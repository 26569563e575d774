#!/usr/bin/python3
# A WebKitGTK browser for WebKitWebDriver: a persistent website data
# manager in a scratch folder (private storage needs one), the storage
# features on as Safari ships them, or off as WebKitGTK ships them
# (ZODEVIR_WEBKIT_STORAGE=off), a quota of the origin's that 1 GiB outputs
# fit, and downloads saved to ZODEVIR_WEBKIT_DOWNLOADS.
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("WebKit2", "4.1")
from gi.repository import Gtk, WebKit2  # noqa: E402

data = os.environ["ZODEVIR_WEBKIT_DATA"]
downloads = os.environ["ZODEVIR_WEBKIT_DOWNLOADS"]
storage_on = os.environ.get("ZODEVIR_WEBKIT_STORAGE", "on") == "on"
STORAGE_FEATURES = {"FileSystem", "FileSystemWritableStream", "AccessHandle", "StorageAPI",
                    "StorageAPIEstimate", "WebLocksAPI"}

manager = WebKit2.WebsiteDataManager(base_data_directory=data, base_cache_directory=data + "/cache",
                                     origin_storage_ratio=0.9, total_storage_ratio=0.9)
context = WebKit2.WebContext(website_data_manager=manager)
context.set_automation_allowed(True)


def saved(download, suggested):
    download.set_destination(os.path.join(downloads, suggested))
    return True


context.connect("download-started",
                lambda _, download: download.connect("decide-destination", saved))


def new_view(_session):
    settings = WebKit2.Settings(enable_developer_extras=True)
    features = WebKit2.Settings.get_all_features()
    for i in range(features.get_length()):
        feature = features.get(i)
        if feature.get_identifier() in STORAGE_FEATURES:
            settings.set_feature_enabled(feature, storage_on)
    view = WebKit2.WebView(web_context=context, settings=settings, is_controlled_by_automation=True)
    window = Gtk.Window()
    window.set_default_size(1280, 900)
    window.add(view)
    window.show_all()
    return view


def started(_context, session):
    info = WebKit2.ApplicationInfo()
    info.set_name("zodevir-test-browser")
    info.set_version(1, 0, 0)
    session.set_application_info(info)
    session.connect("create-web-view", new_view)


context.connect("automation-started", started)
if "--automation" not in sys.argv:
    sys.exit("run by WebKitWebDriver, with --automation")
Gtk.main()
