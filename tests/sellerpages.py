"""The seller pages' addresses, locators and scripts, as the module uses them: one copy for the
fake marketplace, the stand-in's page tests, the fault tests and the benchmarks."""

ONSALE, DRAFTS = "/zh/listings/onsale", "/zh/listings/draft"

SEARCH_BOX = '//form[@class="form-inline"]/div/input'
FOOTER = "//footer/div[last()]"
ITEM_LIST = '//div[@class="item-list"]/div'
CARD_TITLE = './div[3]/div/div/h4[@class="name"]/a'
COPY_BUTTON = "./div[4]/div/div[2]/button[2]"
PAGER_ITEM = '//ul[@class="pager"]/li[2]'
PAGER_LINK = '//ul[@class="pager"]/li[2]/a'
VISIBILITY = '//div[@class="edit-item-visibility section"]/div/div/select'
CHECKBOX = '//div[@class="media-body"]/div[2]/div/input'
FIRST_BUTTON = '//div[@class="col-6 text-left"]/button'
PUBLISH = '//div[@class="buttons text-left"]/button[@class="btn btn-primary"]'
DELETE_BUTTON = "./div[4]/div/div[2]/button[3]"
CONFIRM = '//div[@id="common-dialog"]/div/div/div[2]/div/div[2]/button[1]'

XPATHS = {SEARCH_BOX, FOOTER, ITEM_LIST, CARD_TITLE, COPY_BUTTON, PAGER_ITEM, PAGER_LINK,
          VISIBILITY, CHECKBOX, FIRST_BUTTON, PUBLISH, DELETE_BUTTON, CONFIRM}

CLICK = "arguments[0].click();"
SCROLL_DOWN = "var q=document.documentElement.scrollTop=10000"
SCROLL_UP = "var q=document.documentElement.scrollTop=0"
SCRIPTS = {CLICK, SCROLL_DOWN, SCROLL_UP}
