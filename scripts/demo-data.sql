-- A few sample tables for the demo database.
CREATE TABLE customers (
    id serial PRIMARY KEY,
    name text NOT NULL,
    city varchar(40),
    email text,
    note text
);
INSERT INTO customers (name, city, email, note) VALUES
    ('Ada Lovelace', 'London', 'ada@example.org', 'Prefers e-mail; in London on Tuesdays'),
    ('Alan Turing', 'Manchester', 'alan@example.org', NULL),
    ('Grace Hopper', 'New York', 'grace@example.org', '  likes  COBOL  '),
    ('Edsger Dijkstra', 'Amsterdam', 'edsger@example.org', 'goto considered harmful');

CREATE TABLE orders (
    order_no integer PRIMARY KEY,
    customer_id integer REFERENCES customers (id),
    item text,
    quantity integer,
    price numeric(10, 2),
    shipped boolean DEFAULT false,
    placed timestamptz DEFAULT now()
);
INSERT INTO orders (order_no, customer_id, item, quantity, price, shipped) VALUES
    (1001, 1, 'Analytical engine manual', 1, 49.90, true),
    (1002, 2, 'Enigma rotor', 3, 120.00, false),
    (1003, 3, 'COBOL handbook', 2, 35.50, true),
    (1004, 4, 'Shortest path poster', 1, 12.00, false);

CREATE SCHEMA archive;
CREATE TABLE archive.orders (LIKE orders INCLUDING ALL);
INSERT INTO archive.orders SELECT * FROM orders WHERE shipped;

CREATE TABLE "Product Catalogue" (
    sku text PRIMARY KEY,
    title text,
    description text
);
INSERT INTO "Product Catalogue" VALUES
    ('AE-1', 'Analytical engine manual', 'A manual for the analytical engine'),
    ('EN-3', 'Enigma rotor', 'Spare rotor, colour: grey'),
    ('CB-2', 'COBOL handbook', 'The color edition');
