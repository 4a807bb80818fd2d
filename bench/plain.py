"""The replication workflow written as plain Python: what the module is measured against.

It makes the same calls on the same objects as `vantrel.get_res`, in the same order, so that a
benchmark can run both on one browser (or one fake) and compare. Like the module, it takes its
clock and its `Select` from globals that the benchmark sets.
"""

import io
import json
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

from sellerpages import (CARD_TITLE, CHECKBOX, CLICK, CONFIRM, COPY_BUTTON,  # noqa: E402
                         DELETE_BUTTON, DRAFTS, FIRST_BUTTON, FOOTER, ITEM_LIST, ONSALE,
                         PAGER_ITEM, PAGER_LINK, PUBLISH, SCROLL_DOWN, SCROLL_UP, SEARCH_BOX,
                         VISIBILITY)

clock = None   # stands for the module's `time`
Select = None  # stands for the module's `Select`


def origin():
    """Read for every address, as the module reads it."""
    return (os.environ.get("VANTREL_ORIGIN") or "http://127.0.0.1:8700").rstrip("/")


def find(where, xpath):
    """Selenium 3's look-up where the driver has it, Selenium 4's otherwise, as the module does."""
    by_xpath = getattr(where, "find_element_by_xpath", None)
    return by_xpath(xpath) if by_xpath else where.find_element("xpath", xpath)


def find_all(where, xpath):
    by_xpath = getattr(where, "find_elements_by_xpath", None)
    return by_xpath(xpath) if by_xpath else where.find_elements("xpath", xpath)


def save(df, res_path):
    """Writes a hidden temporary file beside the workbook, then puts it in the workbook's place."""
    folder, name = os.path.split(res_path)
    temporary = os.path.join(folder, "." + name + "." + str(os.getpid()) + ".tmp.xlsx")
    try:
        df.to_excel(temporary, index=False)
        os.replace(temporary, res_path)
    except BaseException:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise


def in_flight_path(res_path):
    folder, name = os.path.split(res_path)
    return os.path.join(folder, ".{}.in-flight.json".format(name))


def trace(res_path, journal, entry):
    """One more entry of the trace of copies in flight: the whole journal written to a temporary
    file, forced to the disk and renamed over the trace."""
    lines = [json.dumps(e) + "\n" for e in journal + [entry]]
    path = in_flight_path(res_path)
    temporary = path + ".tmp"
    file = io.open(temporary, "w", encoding="utf-8")
    try:
        file.write("".join(lines))
        file.flush()
        os.fsync(file.fileno())
    finally:
        file.close()
    os.replace(temporary, path)
    journal.append(entry)


def clear_in_flight(res_path):
    try:
        os.remove(in_flight_path(res_path))
    except FileNotFoundError:
        pass


def plan(df):
    open_rows = df[df["sign"] == 0]
    return (open_rows["amount"] - open_rows["added"]).max()


def get_res(pic_wait, start_url, s_date, e_date, df, key_words, res_path, a_list_num, domain,
            driver, handles):
    max_times = plan(df)
    print(("max_times:", max_times))
    if max_times > 0:
        save(df, res_path)
    while max_times > 0:
        for row in df.itertuples():
            try:
                if row.sign != 0 or row.amount <= row.added:
                    continue
                if open_copy(driver, df, res_path, row.Index, row.name, row.added):
                    publish_copy(driver, df, res_path, row.Index, row.name, row.added, pic_wait)
            except BaseException:
                pass
        max_times = plan(df)
        print(("max_times:", max_times))
    driver.get(origin() + DRAFTS)
    clock.sleep(5)
    while "item-detail" in driver.page_source:
        cards = find_all(driver, ITEM_LIST)[1:-2]
        try:
            driver.execute_script(CLICK, find(cards[0], DELETE_BUTTON))
            clock.sleep(1)
            find(driver, CONFIRM).click()
            clock.sleep(2)
        except BaseException:
            driver.refresh()
            clock.sleep(3.6)


def mark(df, res_path, index, added, code):
    if added == 0:
        df.loc[index, "sign"] = code
        save(df, res_path)


def open_copy(driver, df, res_path, index, name, added):
    driver.get(origin() + ONSALE)
    clock.sleep(4)
    print(name)
    find(driver, SEARCH_BOX).clear()
    find(driver, SEARCH_BOX).send_keys(name + "\n")
    clock.sleep(1.5)
    wait_times = 0
    while find(driver, FOOTER).get_attribute("style") != "display: none;":
        wait_times += 1
        if wait_times > 6:
            driver.refresh()
        clock.sleep(0.6)
    print(len(find_all(driver, ITEM_LIST)[1:-2]))
    if "item-detail" not in driver.page_source:
        print(("没有该商品:", name))
        mark(df, res_path, index, added, 2)
        clock.sleep(0.8)
        return False
    while True:
        for card in find_all(driver, ITEM_LIST)[1:-2]:
            if name != find(card, CARD_TITLE).text.strip():
                continue
            if "onsale" not in driver.current_url:
                break
            find(card, COPY_BUTTON).click()
            clock.sleep(1)
            if "onsale" not in driver.current_url:
                break
        if "onsale" not in driver.current_url or "页" not in driver.page_source:
            break
        if "</a>" not in find(driver, PAGER_ITEM).get_attribute("innerHTML"):
            break
        driver.execute_script(CLICK, find(driver, PAGER_LINK))
        clock.sleep(2)
        print("下一页")
    if "onsale" in driver.current_url:
        print(("所有页都没有该商品:", name))
        mark(df, res_path, index, added, 1)
        clock.sleep(0.8)
        return False
    clock.sleep(5)
    return True


def publish_copy(driver, df, res_path, index, name, added, pic_wait):
    Select(find(driver, VISIBILITY)).select_by_visible_text("上市")
    clock.sleep(0.5)
    wait_times = 0
    while "icon-delete pointer" not in driver.page_source:
        wait_times += 1
        if wait_times > 9:
            break
        clock.sleep(1)
    clock.sleep(pic_wait)
    if "icon-delete pointer" not in driver.page_source:
        return
    driver.execute_script(SCROLL_DOWN)
    clock.sleep(0.3)
    driver.execute_script(SCROLL_UP)
    clock.sleep(0.3)
    if not find(driver, CHECKBOX).is_selected():
        find(driver, CHECKBOX).click()
    Select(find(driver, VISIBILITY)).select_by_visible_text("不公开")
    clock.sleep(0.5)
    Select(find(driver, VISIBILITY)).select_by_visible_text("上市")
    clock.sleep(1)
    driver.execute_script(CLICK, find(driver, FIRST_BUTTON))
    clock.sleep(0.5)
    journal = []
    trace(res_path, journal, {"event": "click", "copy": 1, "row": int(index), "name": name, "added": int(added),
                              "url": driver.current_url, "window": getattr(driver, "current_window_handle", None)})
    driver.execute_script(CLICK, find(driver, PUBLISH))
    clock.sleep(4)
    if "sell_item" in driver.current_url:
        clock.sleep(1)
    if "sell_item" in driver.current_url:
        trace(res_path, journal, {"event": "not published", "copy": 1, "row": int(index), "name": name})
        return
    df.loc[index, "added"] += 1
    trace(res_path, journal, {"event": "published", "copy": 1, "row": int(index), "name": name,
                              "added": int(df.loc[index, "added"])})
    save(df, res_path)
    clear_in_flight(res_path)
