-- The document database on SQLite (the built-in default store).
-- Same tables, columns and keys as on MySQL; the declared types are the ones the
-- access layer maps to its field types (VARCHAR(n) text of n characters, INTEGER
-- 32-bit, BIGINT 64-bit, DOUBLE, DATETIME stored as "YYYY-MM-DD HH:MM:SS.mmm",
-- BOOLEAN, DECIMAL(p,s), BLOB).
--
-- oxHistory and qxusers keep their text ids (histid, user_id) as primary keys,
-- as on MySQL, so rows are located by the same key on both engines. SQLite has
-- auto-increment only for an INTEGER PRIMARY KEY, so ordnum and order_ins are
-- assigned by AFTER INSERT triggers instead: a row inserted without a value gets
-- the highest number so far plus one. A UNIQUE index keeps the numbers distinct
-- and makes max() a single index probe.
-- Statements end with a semicolon at the end of a line; a trigger ends at "END;".

CREATE TABLE oxTree (
  treeid        VARCHAR(100) NOT NULL PRIMARY KEY,
  treename      VARCHAR(333),
  parent_treeid VARCHAR(100),
  ccount        INTEGER DEFAULT 0,
  kolrights     INTEGER DEFAULT 0,
  del           INTEGER DEFAULT 0,
  datecreate    DATETIME,
  usercreate    VARCHAR(100),
  dateupdate    DATETIME,
  userupdate    VARCHAR(100)
);
CREATE INDEX ix_oxTree_parent ON oxTree (parent_treeid);

CREATE TABLE oxFiles (
  fileid        VARCHAR(100) NOT NULL PRIMARY KEY,
  treeid        VARCHAR(100),
  filename      VARCHAR(333),
  fileext       VARCHAR(100),
  size_file     DOUBLE,
  md5_file      VARCHAR(100),
  count_history INTEGER DEFAULT 0,
  del           INTEGER DEFAULT 0,
  working_user  VARCHAR(100),
  date_working  DATETIME,
  datecreate    DATETIME,
  usercreate    VARCHAR(100),
  dateupdate    DATETIME,
  userupdate    VARCHAR(100)
);
CREATE INDEX ix_oxFiles_tree ON oxFiles (treeid, filename);

CREATE TABLE oxHistory (
  histid        VARCHAR(100) NOT NULL PRIMARY KEY,
  fileid        VARCHAR(100),
  ordnum        BIGINT,
  md5_file      VARCHAR(100),
  size_file     DOUBLE,
  datecreate    DATETIME,
  usercreate    VARCHAR(100),
  dateupdate    DATETIME,
  userupdate    VARCHAR(100)
);
CREATE UNIQUE INDEX ux_oxHistory_ordnum ON oxHistory (ordnum);
CREATE INDEX ix_oxHistory_file ON oxHistory (fileid, ordnum);
CREATE TRIGGER tr_oxHistory_ordnum AFTER INSERT ON oxHistory
FOR EACH ROW WHEN NEW.ordnum IS NULL
BEGIN
  UPDATE oxHistory SET ordnum = (SELECT COALESCE(MAX(ordnum), 0) + 1 FROM oxHistory)
  WHERE rowid = NEW.rowid;
END;

CREATE TABLE oxTreeRight (
  rightid       INTEGER PRIMARY KEY AUTOINCREMENT,
  treeid        VARCHAR(100),
  username      VARCHAR(100),
  roleid        VARCHAR(200),
  rtree         INTEGER DEFAULT 0,
  wtree         INTEGER DEFAULT 0,
  admtree       INTEGER DEFAULT 0,
  rfile         INTEGER DEFAULT 0,
  wfile         INTEGER DEFAULT 0,
  rmyfile       INTEGER DEFAULT 0
);
CREATE INDEX ix_oxTreeRight_tree ON oxTreeRight (treeid);

CREATE TABLE oxTabuFiles (
  tabuid        INTEGER PRIMARY KEY AUTOINCREMENT,
  filename      VARCHAR(333),
  fileext       VARCHAR(100),
  "comment"     VARCHAR(1000)
);

CREATE TABLE qxroles (
  roleid        VARCHAR(200) NOT NULL PRIMARY KEY,
  rolename      VARCHAR(333) NOT NULL,
  commentrole   VARCHAR(1400),
  active        INTEGER DEFAULT 1,
  pubrole       INTEGER DEFAULT 0,
  order_roles   INTEGER
);

CREATE TABLE qxusers (
  user_id            VARCHAR(100) NOT NULL PRIMARY KEY,
  order_ins          BIGINT,
  login              VARCHAR(100),
  "password"         VARCHAR(170),
  roleid             VARCHAR(200),
  "name"             VARCHAR(200),
  phone              VARCHAR(200),
  company            VARCHAR(200),
  fax                VARCHAR(200),
  remember_hash      VARCHAR(200),
  "hash"             VARCHAR(200),
  email              VARCHAR(340),
  city               VARCHAR(333),
  passwd_decode      VARCHAR(170),
  who_create         VARCHAR(100),
  firstname          VARCHAR(66),
  middlename         VARCHAR(66),
  lastname           VARCHAR(66),
  title              VARCHAR(66),
  jobtitle           VARCHAR(66),
  create_app_id      VARCHAR(42),
  create_method      VARCHAR(42),
  timezone           VARCHAR(85),
  locale             VARCHAR(10),
  sex                CHAR(1),
  about              TEXT,
  create_datetime    DATETIME,
  last_datetime      DATETIME,
  firmid             INTEGER,
  partner_transid    INTEGER,
  company_contact_id INTEGER,
  create_contact_id  INTEGER,
  dolgnid            INTEGER,
  israss             INTEGER,
  active             INTEGER DEFAULT 1,
  prover             INTEGER,
  projid             INTEGER,
  siteid             INTEGER,
  countryid          INTEGER,
  cityid             INTEGER,
  sexid              INTEGER,
  all_obl            INTEGER,
  is_company         BOOLEAN,
  is_user            BOOLEAN,
  birth_day          TINYINT,
  birth_month        TINYINT,
  birth_year         SMALLINT,
  photo              BIGINT,
  deposit            DECIMAL(15,2)
);
CREATE UNIQUE INDEX ux_qxusers_order ON qxusers (order_ins);
CREATE INDEX ix_qxusers_login ON qxusers (login);
CREATE TRIGGER tr_qxusers_order_ins AFTER INSERT ON qxusers
FOR EACH ROW WHEN NEW.order_ins IS NULL
BEGIN
  UPDATE qxusers SET order_ins = (SELECT COALESCE(MAX(order_ins), 0) + 1 FROM qxusers)
  WHERE rowid = NEW.rowid;
END;

CREATE TABLE qxpreview (
  previewid     VARCHAR(100) NOT NULL PRIMARY KEY,
  idobj         VARCHAR(100),
  tablename     VARCHAR(200),
  name_preview  VARCHAR(333),
  with_pic      INTEGER,
  height_pic    INTEGER,
  blob_pic      BLOB
);
CREATE INDEX ix_qxpreview_obj ON qxpreview (idobj);

CREATE TABLE qxconst (
  constid       VARCHAR(100) NOT NULL PRIMARY KEY,
  var_name      VARCHAR(100),
  username      VARCHAR(100),
  "comment"     VARCHAR(1000),
  "value"       TEXT,
  pub           INTEGER DEFAULT 0,
  del           INTEGER DEFAULT 0
);
CREATE INDEX ix_qxconst_var ON qxconst (var_name);
