-- Database of boat_tracker: one row per new usable GPS fix, looked for every
-- tenth pass of its loop. Load as the server's administrator:
--   mariadb -u root < schema.sql
-- Loading it again brings a table made by an earlier version up to date.
CREATE DATABASE IF NOT EXISTS GPSTracker;
USE GPSTracker;

CREATE TABLE IF NOT EXISTS GPS (
  id          INT UNSIGNED NOT NULL AUTO_INCREMENT,
  Lat         DOUBLE NOT NULL,
  Lng         DOUBLE NOT NULL,
  -- NULL when the receiver gave a position without speed or course.
  Speed       DOUBLE NULL,
  Bearing     DOUBLE NULL,
  -- Raw counts of the 10-bit converter, 0-1023.
  FuelVoltage INT NOT NULL,
  Active      TINYINT NOT NULL,
  -- When the server stored the row (a TIMESTAMP ends in 2038).
  Logged      TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP,
  -- When the receiver took the fix, UTC; NULL when gpsd gave no time.
  FixTime     DATETIME(3) NULL,
  -- Drawn by the tracker for each row. A statement sent again after a
  -- time-out, when the server had stored it after all, is refused.
  RowKey      BIGINT UNSIGNED NULL,
  PRIMARY KEY (id),
  KEY (Logged),
  UNIQUE KEY RowKey (RowKey)
);

ALTER TABLE GPS
  ADD COLUMN IF NOT EXISTS FixTime DATETIME(3) NULL AFTER Logged,
  ADD COLUMN IF NOT EXISTS RowKey BIGINT UNSIGNED NULL AFTER FixTime,
  ADD UNIQUE KEY IF NOT EXISTS RowKey (RowKey);

-- The tracker logs in over TCP on 127.0.0.1; 'localhost' covers tools run
-- on the board through the socket. Reading back is for the shore tools.
CREATE USER IF NOT EXISTS 'skipper'@'127.0.0.1' IDENTIFIED BY 'tern482';
CREATE USER IF NOT EXISTS 'skipper'@'localhost' IDENTIFIED BY 'tern482';
GRANT SELECT, INSERT ON GPSTracker.GPS TO 'skipper'@'127.0.0.1';
GRANT SELECT, INSERT ON GPSTracker.GPS TO 'skipper'@'localhost';
FLUSH PRIVILEGES;

-- boat_uplink's mark: the rows up to Mark are stored ashore under this
-- database's Identity, a random name drawn by the uplink once. A database
-- built anew has no row here, so its rows get a new name ashore and none
-- is taken for one of the old database's.
CREATE TABLE IF NOT EXISTS UplinkMark (
  One         TINYINT NOT NULL PRIMARY KEY CHECK (One = 1),
  Identity    CHAR(32) NOT NULL,
  Mark        INT UNSIGNED NOT NULL DEFAULT 0
);

-- boat_uplink reads the rows and may change nothing of them; its mark is
-- its own.
CREATE USER IF NOT EXISTS 'uplink'@'127.0.0.1' IDENTIFIED BY 'gull317';
CREATE USER IF NOT EXISTS 'uplink'@'localhost' IDENTIFIED BY 'gull317';
GRANT SELECT ON GPSTracker.GPS TO 'uplink'@'127.0.0.1';
GRANT SELECT ON GPSTracker.GPS TO 'uplink'@'localhost';
GRANT SELECT, INSERT, UPDATE ON GPSTracker.UplinkMark TO 'uplink'@'127.0.0.1';
GRANT SELECT, INSERT, UPDATE ON GPSTracker.UplinkMark TO 'uplink'@'localhost';
FLUSH PRIVILEGES;
