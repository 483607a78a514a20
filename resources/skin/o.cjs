/* Quarvel's sample skin. Copied to "x/o.cjs" beside the program it dresses the Connection window;
   without it the window keeps its white design. The format is a Qt style sheet in UTF-8. */

QWidget#Form1 {
    background-color: #e9eef4;
}

QGroupBox {
    background-color: #e9eef4;
    border: 1px solid #8aa2bd;
    border-radius: 4px;
    margin-top: 10px;
    color: #1d3d5e;
}

QGroupBox::title {
    subcontrol-origin: margin;
    left: 8px;
    padding: 0 3px;
}

QLabel {
    background-color: transparent;
    color: #1d3d5e;
}

QLineEdit {
    background: #ffffff;
    border: 1px solid #9fb3c8;
    border-radius: 2px;
    padding: 1px 3px;
}

QLineEdit:focus {
    border-color: #2e6da4;
}

QPushButton {
    color: #ffffff;
    background-color: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1, stop: 0 #3b7fc0, stop: 1 #2a5f95);
    border: 1px solid #214b76;
    border-radius: 3px;
}

QPushButton:hover {
    background-color: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1, stop: 0 #4a8fd0, stop: 1 #336ea8);
}

QPushButton:pressed {
    background-color: #214b76;
}

QPushButton:focus {
    border: 1px solid #f0a030;
}
