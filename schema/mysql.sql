-- The document database on MySQL / MariaDB.
-- Identifiers are texts of up to 100 characters (folder ids up to 75 are used);
-- sizes are kibibytes as DOUBLE; date-times keep milliseconds.
-- Statements end with a semicolon at the end of a line.

CREATE TABLE oxTree (
  treeid        VARCHAR(100) NOT NULL,
  treename      VARCHAR(333) NULL,
  parent_treeid VARCHAR(100) NULL,
  ccount        INT NULL DEFAULT 0,
  kolrights     INT NULL DEFAULT 0,
  del           INT NULL DEFAULT 0,
  datecreate    DATETIME(3) NULL,
  usercreate    VARCHAR(100) NULL,
  dateupdate    DATETIME(3) NULL,
  userupdate    VARCHAR(100) NULL,
  PRIMARY KEY (treeid),
  KEY ix_oxTree_parent (parent_treeid)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE oxFiles (
  fileid        VARCHAR(100) NOT NULL,
  treeid        VARCHAR(100) NULL,
  filename      VARCHAR(333) NULL,
  fileext       VARCHAR(100) NULL,
  size_file     DOUBLE NULL,
  md5_file      VARCHAR(100) NULL,
  count_history INT NULL DEFAULT 0,
  del           INT NULL DEFAULT 0,
  working_user  VARCHAR(100) NULL,
  date_working  DATETIME(3) NULL,
  datecreate    DATETIME(3) NULL,
  usercreate    VARCHAR(100) NULL,
  dateupdate    DATETIME(3) NULL,
  userupdate    VARCHAR(100) NULL,
  PRIMARY KEY (fileid),
  KEY ix_oxFiles_tree (treeid, filename)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- ordnum is assigned by the database on insert; the highest is the newest version.
CREATE TABLE oxHistory (
  histid        VARCHAR(100) NOT NULL,
  fileid        VARCHAR(100) NULL,
  ordnum        BIGINT NOT NULL AUTO_INCREMENT,
  md5_file      VARCHAR(100) NULL,
  size_file     DOUBLE NULL,
  datecreate    DATETIME(3) NULL,
  usercreate    VARCHAR(100) NULL,
  dateupdate    DATETIME(3) NULL,
  userupdate    VARCHAR(100) NULL,
  PRIMARY KEY (histid),
  UNIQUE KEY ux_oxHistory_ordnum (ordnum),
  KEY ix_oxHistory_file (fileid, ordnum)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE oxTreeRight (
  rightid       BIGINT NOT NULL AUTO_INCREMENT,
  treeid        VARCHAR(100) NULL,
  username      VARCHAR(100) NULL,
  roleid        VARCHAR(200) NULL,
  rtree         INT NULL DEFAULT 0,
  wtree         INT NULL DEFAULT 0,
  admtree       INT NULL DEFAULT 0,
  rfile         INT NULL DEFAULT 0,
  wfile         INT NULL DEFAULT 0,
  rmyfile       INT NULL DEFAULT 0,
  PRIMARY KEY (rightid),
  KEY ix_oxTreeRight_tree (treeid)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE oxTabuFiles (
  tabuid        BIGINT NOT NULL AUTO_INCREMENT,
  filename      VARCHAR(333) NULL,
  fileext       VARCHAR(100) NULL,
  `comment`     VARCHAR(1000) NULL,
  PRIMARY KEY (tabuid)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE qxroles (
  roleid        VARCHAR(200) NOT NULL,
  rolename      VARCHAR(333) NOT NULL,
  commentrole   VARCHAR(1400) NULL,
  active        INT NULL DEFAULT 1,
  pubrole       INT NULL DEFAULT 0,
  order_roles   INT NULL,
  PRIMARY KEY (roleid)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- order_ins is assigned by the database on insert; it orders the user list.
CREATE TABLE qxusers (
  user_id            VARCHAR(100) NOT NULL,
  order_ins          BIGINT NOT NULL AUTO_INCREMENT,
  login              VARCHAR(100) NULL,
  `password`         VARCHAR(170) NULL,
  roleid             VARCHAR(200) NULL,
  `name`             VARCHAR(200) NULL,
  phone              VARCHAR(200) NULL,
  company            VARCHAR(200) NULL,
  fax                VARCHAR(200) NULL,
  remember_hash      VARCHAR(200) NULL,
  `hash`             VARCHAR(200) NULL,
  email              VARCHAR(340) NULL,
  city               VARCHAR(333) NULL,
  passwd_decode      VARCHAR(170) NULL,
  who_create         VARCHAR(100) NULL,
  firstname          VARCHAR(66) NULL,
  middlename         VARCHAR(66) NULL,
  lastname           VARCHAR(66) NULL,
  title              VARCHAR(66) NULL,
  jobtitle           VARCHAR(66) NULL,
  create_app_id      VARCHAR(42) NULL,
  create_method      VARCHAR(42) NULL,
  timezone           VARCHAR(85) NULL,
  locale             VARCHAR(10) NULL,
  sex                CHAR(1) NULL,
  about              LONGTEXT NULL,
  create_datetime    DATETIME(3) NULL,
  last_datetime      DATETIME(3) NULL,
  firmid             INT NULL,
  partner_transid    INT NULL,
  company_contact_id INT NULL,
  create_contact_id  INT NULL,
  dolgnid            INT NULL,
  israss             INT NULL,
  active             INT NULL DEFAULT 1,
  prover             INT NULL,
  projid             INT NULL,
  siteid             INT NULL,
  countryid          INT NULL,
  cityid             INT NULL,
  sexid              INT NULL,
  all_obl            INT NULL,
  is_company         TINYINT(1) NULL,
  is_user            TINYINT(1) NULL,
  birth_day          TINYINT UNSIGNED NULL,
  birth_month        TINYINT UNSIGNED NULL,
  birth_year         SMALLINT NULL,
  photo              INT UNSIGNED NULL,
  deposit            DECIMAL(15,2) NULL,
  PRIMARY KEY (user_id),
  UNIQUE KEY ux_qxusers_order (order_ins),
  KEY ix_qxusers_login (login)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE qxpreview (
  previewid     VARCHAR(100) NOT NULL,
  idobj         VARCHAR(100) NULL,
  tablename     VARCHAR(200) NULL,
  name_preview  VARCHAR(333) NULL,
  with_pic      INT NULL,
  height_pic    INT NULL,
  blob_pic      LONGBLOB NULL,
  PRIMARY KEY (previewid),
  KEY ix_qxpreview_obj (idobj)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Named constants; the row "ordexapp-ver" holds the schema version.
CREATE TABLE qxconst (
  constid       VARCHAR(100) NOT NULL,
  var_name      VARCHAR(100) NULL,
  username      VARCHAR(100) NULL,
  `comment`     VARCHAR(1000) NULL,
  `value`       TEXT NULL,
  pub           INT NULL DEFAULT 0,
  del           INT NULL DEFAULT 0,
  PRIMARY KEY (constid),
  KEY ix_qxconst_var (var_name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
